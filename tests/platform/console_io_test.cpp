// The console seam and the state folder, on both platforms: input from a
// pipe (as from a script), output to a file, the interrupt requests, and
// the state folder's UTF-8 path.

#include "platform/console_io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

#include "platform/file_io.h"
#include "platform/state_folder.h"
#include "platform/stdio_file.h"
#include "platform/utf8_path.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace brenvik {
namespace {

using namespace std::chrono_literals;

// An anonymous pipe as runtime descriptors, as a redirected standard input.
class Pipe {
 public:
  Pipe() {
    int ends[2] = {-1, -1};
#ifdef _WIN32
    EXPECT_EQ(::_pipe(ends, 4096, _O_BINARY), 0);
#else
    EXPECT_EQ(::pipe(ends), 0);
#endif
    read_ = ends[0];
    write_ = ends[1];
  }
  ~Pipe() {
    CloseWriter();
    if (read_ >= 0) CloseFile(read_);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int ReadEnd() const { return read_; }
  void Write(const std::string& text) const {
    ASSERT_EQ(WriteAll(write_, text.data(), text.size()), 0);
  }
  void CloseWriter() {
    if (write_ >= 0) CloseFile(write_);
    write_ = -1;
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

std::string ReadAvailable(int fd) {
  char buffer[64];
  const long long got = ReadInput(fd, buffer, sizeof buffer);
  return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

TEST(ConsoleInputTest, APipeIsReadyOnlyWithDataOrOnceItsWriterHasGone) {
  Pipe pipe;
  EXPECT_FALSE(IsInteractiveInput(pipe.ReadEnd()));
  EXPECT_EQ(WaitForInput(pipe.ReadEnd(), 30ms), InputWait::kTimedOut);

  pipe.Write("r\nyes\n");
  ASSERT_EQ(WaitForInput(pipe.ReadEnd(), 5s), InputWait::kReady);
  EXPECT_EQ(ReadAvailable(pipe.ReadEnd()), "r\nyes\n");
  EXPECT_EQ(WaitForInput(pipe.ReadEnd(), 30ms), InputWait::kTimedOut);

  // The writer closing is news too: the read then says the input ended.
  pipe.CloseWriter();
  ASSERT_EQ(WaitForInput(pipe.ReadEnd(), 5s), InputWait::kReady);
  char byte = 0;
  EXPECT_EQ(ReadInput(pipe.ReadEnd(), &byte, 1), 0);
}

TEST(ConsoleInputTest, DataWrittenWhileWaitingEndsTheWait) {
  Pipe pipe;
  std::thread writer([&pipe] {
    std::this_thread::sleep_for(50ms);
    pipe.Write("c\n");
  });
  // Long enough that only the data can end the wait in a passing run.
  const InputWait result = WaitForInput(pipe.ReadEnd(), 60s);
  writer.join();
  EXPECT_EQ(result, InputWait::kReady);
  EXPECT_EQ(ReadAvailable(pipe.ReadEnd()), "c\n");
}

TEST(ConsoleOutputTest, AFileTakesNoTerminalCommandsAndHasNoSize) {
  const test::TempDir temp;
  const StdioFile file = OpenStdioFile(temp.path() / "log.txt", "wb");
  ASSERT_NE(file, nullptr);
  const TerminalOutput output(file.get());
  EXPECT_FALSE(output.TakesCommands());
  EXPECT_EQ(output.Size(), std::nullopt);
}

// Raises the platform's own stop request: SIGINT, or Ctrl-Break on the
// console (Ctrl-C may be switched off for a process). False when it cannot.
bool RequestStop() {
#ifdef _WIN32
  return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0) != 0;
#else
  return std::raise(SIGINT) == 0;
#endif
}

bool WaitFor(const std::atomic<bool>& flag) {
  // The Windows handler runs on a thread of its own.
  for (int i = 0; i < 500 && !flag.load(); ++i) std::this_thread::sleep_for(10ms);
  return flag.load();
}

TEST(InterruptCatcherTest, AStopRequestOnlySetsTheFlag) {
  std::atomic<bool> flag{false};
  {
    const InterruptCatcher catcher(flag);
    if (!RequestStop()) GTEST_SKIP() << "this test program has no console to send Ctrl-Break to";
    EXPECT_TRUE(WaitFor(flag));
  }
}

#ifndef _WIN32
std::atomic<int> earlier_handler_calls{0};
void EarlierHandler(int) { earlier_handler_calls.fetch_add(1); }

TEST(InterruptCatcherTest, TheEarlierHandlingIsBackAfterwardsForBothSignals) {
  const auto previous_interrupt = std::signal(SIGINT, EarlierHandler);
  const auto previous_terminate = std::signal(SIGTERM, EarlierHandler);
  std::atomic<bool> flag{false};
  {
    const InterruptCatcher catcher(flag);
    std::raise(SIGTERM);
    EXPECT_TRUE(flag.load());
    EXPECT_EQ(earlier_handler_calls.load(), 0);
  }
  flag.store(false);
  std::raise(SIGINT);
  std::raise(SIGTERM);
  EXPECT_EQ(earlier_handler_calls.load(), 2);
  EXPECT_FALSE(flag.load());
  std::signal(SIGINT, previous_interrupt);
  std::signal(SIGTERM, previous_terminate);
}
#endif

#ifdef _WIN32
constexpr const char* kHomeVariable = "USERPROFILE";
constexpr const char* kStateVariable = "LOCALAPPDATA";
constexpr const char* kStateName = "Brenvik";
const std::filesystem::path kBelowHome = std::filesystem::path("AppData") / "Local";
#else
constexpr const char* kHomeVariable = "HOME";
constexpr const char* kStateVariable = "XDG_STATE_HOME";
constexpr const char* kStateName = "brenvik";
const std::filesystem::path kBelowHome = std::filesystem::path(".local") / "state";
#endif

TEST(StateFolderTest, TheVariableNamesItWhenAbsoluteInAnyScript) {
  const test::TempDir temp;
  const std::string state = Utf8Of(temp.path() / "Zoë Łódź 状態");
  const test::ScopedEnv variable(kStateVariable, state);
  EXPECT_EQ(Utf8Of(MenuStateFolder()), Utf8Of(PathFromUtf8(state) / kStateName / ""));
}

TEST(StateFolderTest, OtherwiseItIsBelowTheHomeFolder) {
  const test::TempDir temp;
  const std::string home = Utf8Of(temp.path() / "Søren");
  const test::ScopedEnv home_variable(kHomeVariable, home);
  const std::filesystem::path expected = PathFromUtf8(home) / kBelowHome / kStateName / "";
  for (const char* value : {static_cast<const char*>(nullptr), "relative"}) {
    const test::ScopedEnv variable(kStateVariable, value);
    EXPECT_EQ(Utf8Of(MenuStateFolder()), Utf8Of(expected)) << (value ? value : "(unset)");
  }
}

}  // namespace
}  // namespace brenvik
