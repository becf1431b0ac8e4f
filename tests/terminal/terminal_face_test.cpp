// The built brenvik program, run as a user runs it from a script: its own
// working folder, standard input from /dev/null, standard output and error
// captured (so the output is not a terminal), no display, and a release on a
// real HTTP server on 127.0.0.1.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/program_runner.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

// Position of `line` as a whole line of `output`, or npos.
size_t LineAt(const std::string& output, const std::string& line) {
  for (size_t at = output.find(line); at != std::string::npos; at = output.find(line, at + 1)) {
    const bool starts = at == 0 || output[at - 1] == '\n';
    const size_t end = at + line.size();
    if (starts && (end == output.size() || output[end] == '\n')) return at;
  }
  return std::string::npos;
}

std::vector<std::string> DirectoryNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class TerminalFaceTest : public ::testing::Test {
 protected:
  TerminalFaceTest() : release_(server_), runner_(sandbox_) { fs::create_directories(work_); }

  void PublishStandardRelease() {
    release_.Add("Setup.dat", RandomBytes(300 * 1024, 21));
    release_.Add("data/level 1.pak", RandomBytes(200 * 1024, 22));
    release_.Add("Readme.txt", "read me\n");
    release_.Publish();
  }

  Outcome Run(const std::vector<std::string>& args,
              const std::map<std::string, std::string>& extra_env = {}) {
    return runner_.Run(work_, args, extra_env);
  }

  std::vector<std::string> Scripted(std::vector<std::string> more = {}) const {
    std::vector<std::string> args{"--text", "--yes", "--no-install", "--server", server_.Url()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  int FileRequests() const {
    int total = 0;
    for (const auto& [name, content] : release_.Files())
      total += server_.Requests(release_.PathOf(name));
    return total;
  }

  std::string Folder() const { return (sandbox_.path() / "cd").string() + "/"; }

  HttpServer server_;
  Release release_;
  TempDir sandbox_;
  ProgramRunner runner_;
  fs::path work_ = sandbox_.path() / "work";
};

TEST_F(TerminalFaceTest, DownloadsEverythingThenFetchesOnlyWhatIsMissingOrWrong) {
  PublishStandardRelease();

  // A fresh folder: every file fetched once and verified.
  Outcome first = Run(Scripted({"--folder", Folder()}));
  ASSERT_EQ(first.status, 0) << first.output;
  for (const auto& [name, content] : release_.Files()) {
    ASSERT_TRUE(fs::exists(Folder() + name)) << name;
    EXPECT_EQ(fs::file_size(Folder() + name), content.size()) << name;
    EXPECT_EQ(server_.Requests(release_.PathOf(name)), 1) << name;
  }
  EXPECT_EQ(DirectoryNames(work_), (std::vector<std::string>{"FileList.txt", "OrvBrenvik.ini"}));
  EXPECT_TRUE(Contains(sandbox_.Read("work/OrvBrenvik.ini"), Folder()));
  EXPECT_EQ(sandbox_.Read("work/FileList.txt"), release_.CatalogueText());

  // What the output shows when it is not a terminal: the steps' texts, then
  // one line per change of a row's status, in order, without the running
  // percentages, and the statistics line before "All Done.".
  const std::string& out = first.output;
  EXPECT_NE(LineAt(out, "Quellmoor Tessivane Brenvik Step 1 / 2"), std::string::npos) << out;
  EXPECT_NE(LineAt(out, "Trying to connect to " + server_.Url()), std::string::npos) << out;
  EXPECT_TRUE(Contains(out, "Version: 1.0\nSize: 0 MB\n")) << out;
  EXPECT_NE(LineAt(out, "Download location: " + Folder()), std::string::npos) << out;
  EXPECT_NE(LineAt(out, "Install the game when download is completed: No"), std::string::npos);
  EXPECT_NE(LineAt(out, "Quellmoor Tessivane Brenvik Step 2 / 2"), std::string::npos) << out;
  EXPECT_TRUE(
      Contains(out, "Download-location is \"" + Folder() + "\"\nInstall after downloading: No\n"));
  for (const auto& [name, content] : release_.Files()) {
    const size_t pending = LineAt(out, name + ": Pending Download / Checksum");
    const size_t failed = LineAt(out, name + ": Checksum Failed!");
    const size_t downloaded = LineAt(out, name + ": Downloaded OK");
    const size_t verified = LineAt(out, name + ": Checksum OK");
    ASSERT_NE(verified, std::string::npos) << name << "\n" << out;
    EXPECT_LT(pending, failed) << name;
    EXPECT_LT(failed, downloaded) << name;
    EXPECT_LT(downloaded, verified) << name;
  }
  EXPECT_FALSE(Contains(out, "% downloaded")) << out;
  EXPECT_FALSE(Contains(out, "Checksumming")) << out;
  const size_t all_done = LineAt(out, "All Done.");
  ASSERT_NE(all_done, std::string::npos) << out;
  const size_t statistics = out.rfind("kB done, ", all_done);
  EXPECT_NE(statistics, std::string::npos) << out;
  EXPECT_TRUE(Contains(out.substr(all_done), "Quellmoor Tessivane Brenvik Step 2 / 2 - 00:00:"));
  EXPECT_FALSE(Contains(out, "[R]etry")) << out;

  // Run again without --folder: the remembered folder is proposed and taken,
  // and nothing is fetched but the catalogue.
  Outcome second = Run(Scripted());
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_NE(LineAt(second.output, "Download location: " + Folder()), std::string::npos)
      << second.output;
  EXPECT_EQ(FileRequests(), 3);
  EXPECT_EQ(server_.Requests("FileList.txt"), 2);
  EXPECT_FALSE(Contains(second.output, "Downloaded OK")) << second.output;
  EXPECT_NE(LineAt(second.output, "All Done."), std::string::npos);

  // One file corrupted and one removed: exactly those two are fetched again.
  std::string corrupt = release_.Content("Setup.dat");
  corrupt[4096] ^= 0x20;
  sandbox_.Write("cd/Setup.dat", corrupt);
  fs::remove(Folder() + "data/level 1.pak");
  Outcome third = Run(Scripted({"--folder", Folder()}));
  ASSERT_EQ(third.status, 0) << third.output;
  EXPECT_EQ(server_.Requests(release_.PathOf("Setup.dat")), 2);
  EXPECT_EQ(server_.Requests(release_.PathOf("data/level 1.pak")), 2);
  EXPECT_EQ(server_.Requests(release_.PathOf("Readme.txt")), 1);
  EXPECT_EQ(sandbox_.Read("cd/Setup.dat"), release_.Content("Setup.dat"));
}

// The catalogue's fault is reported as the catalogue's, never as a folder
// on this computer without read/write access.
TEST_F(TerminalFaceTest, ABrokenCatalogueEndsWithItsMessage) {
  const std::string read_error = "Error reading the newly downloaded filelist.";

  server_.Serve("FileList.txt", "1.0\n0\nfine.bin\tabc\t3\nno separators here\n");
  Outcome malformed = Run(Scripted({"--folder", Folder()}));
  EXPECT_EQ(malformed.status, 1) << malformed.output;
  EXPECT_TRUE(Contains(malformed.output,
                       "\nError in line 4 in FileList.txt! Couldn't find checksum-separator!\n"
                       "[O]K? OK\n"))
      << malformed.output;
  EXPECT_FALSE(Contains(malformed.output, read_error)) << malformed.output;

  server_.Serve("FileList.txt", "# release\n1.0\n0\n../outside.bin\tabc\t3\n");
  Outcome unsafe = Run(Scripted({"--folder", Folder()}));
  EXPECT_EQ(unsafe.status, 1) << unsafe.output;
  EXPECT_TRUE(Contains(unsafe.output, "\nError in line 4 in FileList.txt! Unsafe file name!\n"))
      << unsafe.output;
  EXPECT_FALSE(Contains(unsafe.output, read_error)) << unsafe.output;
  EXPECT_FALSE(Contains(unsafe.output, "Step 2 / 2"));
  EXPECT_FALSE(fs::exists(sandbox_.path() / "outside.bin"));
}

TEST_F(TerminalFaceTest, AnUnreachableServerIsGivenUpWithCancel) {
  Outcome outcome = Run({"--text", "--yes", "--server", "http://127.0.0.1:1/"});
  EXPECT_EQ(outcome.status, 1) << outcome.output;
  EXPECT_TRUE(Contains(outcome.output, "Error downloading the filelist from server...\n"))
      << outcome.output;
  EXPECT_TRUE(Contains(outcome.output,
                       "\nCould not download FileList.txt from the server.\nClick RETRY to try "
                       "again, or CANCEL to quit.\nFailed to connect to 127.0.0.1 port 1"))
      << outcome.output;
}

TEST_F(TerminalFaceTest, AFileTheServerLacksIsAskedAboutAndCancelled) {
  release_.Add("here.bin", RandomBytes(5000, 23));
  release_.Add("gone.bin", RandomBytes(5000, 24));
  release_.Publish();
  server_.Remove(release_.PathOf("gone.bin"));

  // One download at a time: here.bin's success cannot then fall between
  // gone.bin's failures and start their count afresh.
  Outcome outcome = Run(Scripted({"--folder", Folder(), "--connections", "1"}));
  EXPECT_EQ(outcome.status, 1) << outcome.output;
  const std::string url = server_.Url() + "1.0/gone.bin";
  const size_t question = outcome.output.find("\nCouldn't download \"" + url +
                                              "\".\nPlease contact " BRENVIK_SUPPORT_CONTACT
                                              " for assistance.\nHTTP status 404\n"
                                              "[R]etry / [C]ancel? Cancel\n");
  ASSERT_NE(question, std::string::npos) << outcome.output;
  EXPECT_EQ(server_.Requests(release_.PathOf("gone.bin")), 11);
  // Cancel runs the abort wait, and the run says it may be continued later.
  const std::string rest = outcome.output.substr(question);
  EXPECT_TRUE(Contains(rest, "\nAborting, please wait...\n")) << rest;
  const std::string continue_later =
      "\nYou might be able to continue downloading this CD at a later "
      "time,\nunless a newer CD has been released on the site. This program "
      "will\nalways try to download the newest CD from the site.\n[O]K? OK\n";
  const size_t shown = rest.find(continue_later);
  EXPECT_NE(shown, std::string::npos) << rest;
  EXPECT_EQ(rest.find(continue_later, shown + 1), std::string::npos) << "shown twice:\n" << rest;
  EXPECT_TRUE(Contains(rest, "Aborting, please wait... - 00:00:")) << rest;
  EXPECT_NE(LineAt(outcome.output, "here.bin: Checksum OK"), std::string::npos);
  EXPECT_EQ(LineAt(outcome.output, "All Done."), std::string::npos);
  EXPECT_FALSE(fs::exists(Folder() + "gone.bin"));
}

// Names from the server reach the terminal with their control characters
// shown, in the rows and in the questions alike (the version line is a row
// of the failure-mode table).
TEST_F(TerminalFaceTest, HostileNamesAreShownEscapedInRowsAndQuestions) {
  server_.Serve("FileList.txt", "1.0\n0\nevil\x1b[2J.bin\t900150983cd24fb0d6963f7d28e17f72\t3\n");
  Outcome name = Run(Scripted({"--folder", Folder()}));
  EXPECT_EQ(name.status, 1) << name.output;
  EXPECT_NE(LineAt(name.output, "evil\\x1B[2J.bin: Pending Download / Checksum"), std::string::npos)
      << name.output;
  const size_t question = name.output.find(
      "\nCouldn't download \"" + server_.Url() +
      "1.0/evil\\x1B[2J.bin\".\nPlease contact " BRENVIK_SUPPORT_CONTACT " for assistance.");
  ASSERT_NE(question, std::string::npos) << name.output;
  EXPECT_TRUE(Contains(name.output.substr(question), "[R]etry / [C]ancel? Cancel\n"));
  EXPECT_EQ(name.output.find_first_of("\x1b\x07"), std::string::npos) << name.output;
}

TEST_F(TerminalFaceTest, UsageErrorsHelpAndVersion) {
  Outcome bad = Run({"--text", "--bogus"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.output.substr(0, bad.output.find('\n') + 1), "brenvik: unknown option: --bogus\n");
  EXPECT_TRUE(Contains(bad.output, "\nusage: brenvik [--server URL]")) << bad.output;

  Outcome no_value = Run({"--server"});
  EXPECT_EQ(no_value.status, 2);
  EXPECT_EQ(no_value.output.substr(0, no_value.output.find('\n') + 1),
            "brenvik: option --server needs a URL\n");

  Outcome help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("usage: brenvik", 0), 0u) << help.output;
  EXPECT_TRUE(Contains(help.output,
                       "--yes            never ask: run in the terminal even when a "
                       "display is there,\n"))
      << help.output;

  Outcome version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, std::string("brenvik ") + BRENVIK_VERSION + "\n");
  EXPECT_TRUE(DirectoryNames(work_).empty());
}

TEST_F(TerminalFaceTest, DemoRunsToAllDoneWithoutADisplayAndLeavesOnlyItsFiles) {
  // The user's own catalogue and remembered folder, from a cancelled run.
  const std::string users_catalogue = "2.0\n0\nbig.bin:0123456789abcdef0123456789abcdef:9\n";
  const std::string users_settings = "[Install]\nFolder=/srv/real cd/\n";
  sandbox_.Write("work/FileList.txt", users_catalogue);
  sandbox_.Write("work/OrvBrenvik.ini", users_settings);
  // No --text: with no display the terminal face runs.
  Outcome demo = Run({"--demo", "--yes"}, {{"BRENVIK_DEMO_RATE", "0"}});
  ASSERT_EQ(demo.status, 0) << demo.output;
  EXPECT_NE(LineAt(demo.output, "Quellmoor Tessivane Brenvik Step 1 / 2"), std::string::npos);
  EXPECT_NE(LineAt(demo.output, "All Done."), std::string::npos) << demo.output;
  EXPECT_NE(LineAt(demo.output, "Start Install.exe: Installer started OK!"), std::string::npos);
  const fs::path installed_from = fs::canonical(work_ / "BrenvikDemo");
  EXPECT_TRUE(Contains(demo.output, "Brenvik demo installer: the game would be installed from " +
                                        installed_from.string() + " now.\n"))
      << demo.output;
  // The demo's catalogue comes signed with the demo key, and the check
  // passed; it and the demo's settings were kept in the demo's own folder,
  // so the user's files are as they were.
  EXPECT_EQ(DirectoryNames(work_),
            (std::vector<std::string>{"BrenvikDemo", "FileList.txt", "OrvBrenvik.ini"}));
  EXPECT_EQ(sandbox_.Read("work/FileList.txt"), users_catalogue);
  EXPECT_EQ(sandbox_.Read("work/OrvBrenvik.ini"), users_settings);
  EXPECT_FALSE(Contains(demo.output, "not signed by the publisher"));
  EXPECT_TRUE(fs::exists(work_ / "BrenvikDemo" / "Install.exe"));
  // The served release is gone with the demo.
  EXPECT_TRUE(DirectoryNames(runner_.Temp()).empty());
}

}  // namespace
}  // namespace brenvik::test
