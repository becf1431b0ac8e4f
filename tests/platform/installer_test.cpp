#include "platform/installer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/utf8_path.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Waits (up to a generous limit) for a detached program to leave its mark.
bool WaitForFile(const fs::path& file) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < give_up) {
    std::error_code error;
    if (fs::exists(file, error) && fs::file_size(file, error) > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class InstallerTest : public ::testing::Test {
 protected:
  InstallerTest() {
    fs::create_directories(work_);
    fs::create_directories(bin_);
  }
  std::string Script(const std::string& name, const std::string& body) const {
    const fs::path file = temp_.Write("release/" + name, body);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    return Utf8Of(file);
  }
  std::string Work() const { return Utf8Of(work_); }

  TempDir temp_;
  SystemInstallerLauncher launcher_;
  const fs::path work_ = temp_.path() / "work";
  const fs::path bin_ = temp_.path() / "bin";
};

TEST_F(InstallerTest, WhatIsNotAnExistingFileIsNotStarted) {
  EXPECT_FALSE(launcher_.Start(Utf8Of(temp_.path() / "missing.exe"), Work()));
  EXPECT_EQ(launcher_.Start(Work(), Work()).failure, "it is not a regular file");  // a folder
  EXPECT_FALSE(launcher_.Start("", Work()));
}

#ifdef _WIN32

// The shell's start through the seam: what it is handed, and what its
// failures say in the row.
TEST_F(InstallerTest, TheShellGetsTheWholePathWithCOMReadyAndItsRefusalsAreNamed) {
  const std::string program = Script("Install.exe", "MZ");
  std::wstring file;
  std::wstring folder;
  HRESULT com = E_FAIL;
  unsigned long answer = ERROR_CANCELLED;  // the user declined the consent prompt
  SystemInstallerLauncher launcher([&](const std::wstring& f, const std::wstring& d, void*) {
    file = f;
    folder = d;
    // Already initialised in this model on this thread: S_FALSE.
    com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(com)) ::CoUninitialize();
    return answer;
  });
  const InstallerStart declined = launcher.Start(program, Work());
  EXPECT_FALSE(declined);
  EXPECT_EQ(declined.failure, "the request for administrator rights was declined");
  EXPECT_EQ(fs::path(file), PathFromUtf8(program));
  EXPECT_EQ(fs::path(folder), work_);
  EXPECT_EQ(com, S_FALSE);

  answer = ERROR_NO_ASSOCIATION;
  EXPECT_EQ(launcher.Start(program, Work()).failure, "no program is set to open it");
  answer = ERROR_SUCCESS;
  EXPECT_TRUE(launcher.Start(program, Work()));
}

TEST_F(InstallerTest, ShellStartsTheFileInTheWorkingDirectory) {
  // A batch file: the shell hands it to the command interpreter, which
  // writes where it was started.
  const std::string script = Script("Install.bat", "@cd > started.txt\r\n");
  ASSERT_TRUE(launcher_.Start(script, Work()));
  ASSERT_TRUE(WaitForFile(work_ / "started.txt"));
  const std::string said = temp_.Read("work/started.txt");
  EXPECT_EQ(fs::path(said.substr(0, said.find_first_of("\r\n"))), work_);
}

TEST_F(InstallerTest, NamesOutsideTheCodePageReachTheShell) {
  const fs::path folder = temp_.path() / PathFromUtf8("Spiele f\xC3\xBCr J\xC3\xB6rg");
  fs::create_directories(folder);
  const std::string script = Script("Inst\xC3\xA4ll.bat", "@echo ran > ran.txt\r\n");
  ASSERT_TRUE(launcher_.Start(script, Utf8Of(folder)));
  EXPECT_TRUE(WaitForFile(folder / "ran.txt"));
}

#else

using test::ScopedEnv;

bool OwnerCanExecute(const fs::path& file) {
  return (fs::status(file).permissions() & fs::perms::owner_exec) != fs::perms::none;
}

bool HasChildren() {
  int status = 0;
  return !(waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
}

TEST_F(InstallerTest, ScriptWithoutExecuteBitStartsDetachedInTheWorkingDirectory) {
  const std::string script = Script("Install.exe", "#!/bin/sh\npwd > started.txt\n");
  ASSERT_FALSE(OwnerCanExecute(script));

  ASSERT_TRUE(launcher_.Start(script, work_.string()));
  ASSERT_TRUE(WaitForFile(work_ / "started.txt"));
  EXPECT_EQ(temp_.Read("work/started.txt"), fs::canonical(work_).string() + "\n");
  EXPECT_TRUE(OwnerCanExecute(script));
  // The program was handed to init: nothing is left for this process to reap.
  EXPECT_FALSE(HasChildren());
}

TEST_F(InstallerTest, RelativePathIsResolvedBeforeChangingFolder) {
  const std::string script = Script("Install.exe", "#!/bin/sh\necho ran > ran.txt\n");
  test::ScopedWorkingDirectory here(temp_.path() / "release");
  ASSERT_TRUE(launcher_.Start("Install.exe", work_.string()));
  EXPECT_TRUE(WaitForFile(work_ / "ran.txt"));
}

TEST_F(InstallerTest, NativeProgramWithoutExecuteBitGetsOne) {
  const fs::path program = temp_.path() / "release" / "true";
  fs::create_directories(program.parent_path());
  ASSERT_TRUE(fs::copy_file("/bin/true", program));
  fs::permissions(program, fs::perms::owner_read | fs::perms::owner_write);

  EXPECT_TRUE(launcher_.Start(program.string(), work_.string()));
  EXPECT_TRUE(OwnerCanExecute(program));
}

// A hard link to a file elsewhere (a folder copied with cp -al) is not
// made executable: its mode is the outside file's too. A symbolic link is
// not followed at all.
TEST_F(InstallerTest, LinksAreNeverMadeExecutable) {
  const fs::path outside = temp_.Write("outside/true", "");
  fs::remove(outside);
  ASSERT_TRUE(fs::copy_file("/bin/true", outside));
  fs::permissions(outside, fs::perms::owner_read | fs::perms::owner_write);
  const fs::path hard = temp_.path() / "release" / "Install.exe";
  fs::create_directories(hard.parent_path());
  fs::create_hard_link(outside, hard);

  EXPECT_FALSE(launcher_.Start(hard.string(), work_.string()));
  EXPECT_FALSE(OwnerCanExecute(outside));

  const fs::path soft = temp_.path() / "release" / "Setup.exe";
  fs::create_symlink(outside, soft);
  EXPECT_FALSE(launcher_.Start(soft.string(), work_.string()));
  EXPECT_FALSE(OwnerCanExecute(outside));
}

TEST_F(InstallerTest, FailuresToStartAreReported) {
  // The exec itself fails: its error travels back before Start returns.
  const std::string no_interpreter =
      Script("bad.exe", "#!/nonexistent/interpreter\necho never > never.txt\n");
  EXPECT_EQ(launcher_.Start(no_interpreter, work_.string()).failure, "No such file or directory");

  const std::string script = Script("Install.exe", "#!/bin/sh\npwd > started.txt\n");
  EXPECT_EQ(launcher_.Start(script, (temp_.path() / "no-such-folder").string()).failure,
            "No such file or directory");
  EXPECT_FALSE(HasChildren());
}

TEST_F(InstallerTest, DocumentWithoutOpenerIsNotStarted) {
  const std::string document = Script("Install.exe", "MZ not a program here\n");
  ScopedEnv path("PATH", bin_.string());  // an empty folder: no xdg-open
  EXPECT_EQ(launcher_.Start(document, work_.string()).failure,
            "no program is set to open it (xdg-open is missing)");
}

TEST_F(InstallerTest, DocumentIsHandedToTheOpenerAndItsExitStatusCounts) {
  const std::string document = Script("Install.exe", "MZ not a program here\n");
  const fs::path opener = temp_.Write("bin/xdg-open",
                                      "#!/bin/sh\n"
                                      "printf '%s\\n' \"$1\" > opened.txt\n"
                                      "exit \"$(cat \"$0.status\" 2>/dev/null || echo 0)\"\n");
  fs::permissions(opener, fs::perms::owner_all);
  ScopedEnv path("PATH", bin_.string() + ":/usr/bin:/bin");

  ASSERT_TRUE(launcher_.Start(document, work_.string()));
  // The opener has finished by the time Start returns.
  EXPECT_EQ(temp_.Read("work/opened.txt"), document + "\n");
  EXPECT_FALSE(OwnerCanExecute(document));  // only programs get the bit

  temp_.Write("bin/xdg-open.status", "3\n");
  EXPECT_EQ(launcher_.Start(document, work_.string()).failure, "the desktop could not open it");
  EXPECT_FALSE(HasChildren());
}

TEST_F(InstallerTest, ExecutableFileTheSystemCannotRunFallsBackToTheOpener) {
  const std::string document = Script("Install.exe", "MZ not a program here\n");
  fs::permissions(document, fs::perms::owner_all);
  ScopedEnv path("PATH", bin_.string());
  EXPECT_FALSE(launcher_.Start(document, work_.string()));

  const fs::path opener =
      temp_.Write("bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" > opened.txt\n");
  fs::permissions(opener, fs::perms::owner_all);
  EXPECT_TRUE(launcher_.Start(document, work_.string()));
  EXPECT_EQ(temp_.Read("work/opened.txt"), document + "\n");
}

#endif

}  // namespace
}  // namespace brenvik
