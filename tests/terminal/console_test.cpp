// The console's view of its output: whether it takes terminal commands and
// how large it is, from the terminal itself or, when that does not say,
// from $LINES and $COLUMNS.

#include "terminal/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "support/scoped_env.h"

namespace brenvik {
namespace {

// A pseudo-terminal whose far side is the console's output.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    controller_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(controller_, 0);
    EXPECT_EQ(::grantpt(controller_), 0);
    EXPECT_EQ(::unlockpt(controller_), 0);
    output_ = std::fopen(::ptsname(controller_), "w");
    EXPECT_NE(output_, nullptr);
  }
  ~PseudoTerminal() {
    if (output_ != nullptr) std::fclose(output_);
    if (controller_ >= 0) ::close(controller_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  std::FILE* output() const { return output_; }
  void Resize(unsigned short rows, unsigned short columns) const {
    const winsize size{.ws_row = rows, .ws_col = columns, .ws_xpixel = 0, .ws_ypixel = 0};
    EXPECT_EQ(::ioctl(controller_, TIOCSWINSZ, &size), 0);
  }

 private:
  int controller_ = -1;
  std::FILE* output_ = nullptr;
};

void ExpectSize(const Console& console, int rows, int columns) {
  const std::optional<TerminalSize> size = console.OutputSize();
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->rows, rows);
  EXPECT_EQ(size->columns, columns);
}

TEST(ConsoleTest, AFileIsNoTerminalAndTakesItsSizeFromTheEnvironmentOnly) {
  std::FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  const test::ScopedEnv term("TERM", "xterm");
  {
    const Console console(ConsoleStreams{.output = log, .questions = log});
    EXPECT_FALSE(console.OutputIsTerminal());
    {
      const test::ScopedEnv lines("LINES", "30");
      const test::ScopedEnv columns("COLUMNS", "100");
      ExpectSize(console, 30, 100);
    }
    // Each side must be known, as a plausible positive number.
    for (const char* bad : {"0", "-5", "abc", "100000"}) {
      const test::ScopedEnv lines("LINES", "30");
      const test::ScopedEnv columns("COLUMNS", bad);
      EXPECT_EQ(console.OutputSize(), std::nullopt) << bad;
    }
    const test::ScopedEnv lines("LINES", "30");
    const test::ScopedEnv columns("COLUMNS", nullptr);
    EXPECT_EQ(console.OutputSize(), std::nullopt);
  }
  std::fclose(log);
}

TEST(ConsoleTest, ATerminalTakesCommandsUnlessItsTypeIsDumbOrUnknown) {
  const PseudoTerminal terminal;
  ASSERT_NE(terminal.output(), nullptr);
  for (const auto& [type, takes] : {std::pair<const char*, bool>{"xterm", true},
                                    {"dumb", false},
                                    {"", false},
                                    {nullptr, false}}) {
    const test::ScopedEnv term("TERM", type);
    const Console console(ConsoleStreams{.output = terminal.output(), .questions = stderr});
    EXPECT_EQ(console.OutputIsTerminal(), takes) << (type ? type : "(unset)");
  }
}

TEST(ConsoleTest, ATerminalsOwnSizeComesFirstAndAnUnsetSideFromTheEnvironment) {
  const PseudoTerminal terminal;
  ASSERT_NE(terminal.output(), nullptr);
  const test::ScopedEnv lines("LINES", "30");
  const test::ScopedEnv columns("COLUMNS", "100");
  const Console console(ConsoleStreams{.output = terminal.output(), .questions = stderr});

  terminal.Resize(40, 120);
  ExpectSize(console, 40, 120);
  // Nobody set the size: the terminal says 0 x 0.
  terminal.Resize(0, 0);
  ExpectSize(console, 30, 100);
  terminal.Resize(0, 132);
  ExpectSize(console, 30, 132);
}

}  // namespace
}  // namespace brenvik
