#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/console_io.h"
#include "platform/file_io.h"

namespace brenvik {

namespace {

bool UnderstandsCursorMovement() {
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

// The flag the signal handler sets; the handler may only touch lock-free
// atomics.
std::atomic<std::atomic<bool>*> interrupt_flag{nullptr};
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

struct sigaction saved_interrupt {};
struct sigaction saved_terminate {};

void OnInterrupt(int) {
  if (std::atomic<bool>* flag = interrupt_flag.load()) flag->store(true);
}

}  // namespace

TerminalOutput::TerminalOutput(std::FILE* stream) : stream_(stream) {
  takes_commands_ = ::isatty(::fileno(stream_)) == 1 && UnderstandsCursorMovement();
}

TerminalOutput::~TerminalOutput() = default;

std::optional<TerminalSize> TerminalOutput::Size() const {
  winsize window{};
  if (::ioctl(::fileno(stream_), TIOCGWINSZ, &window) != 0) return std::nullopt;
  // A pseudo-terminal whose size nobody set reports 0 x 0.
  return TerminalSize{.rows = window.ws_row, .columns = window.ws_col};
}

void WriteText(std::FILE* stream, std::string_view text) {
  ::flockfile(stream);
  std::fflush(stream);
  // Past the stream's buffer, and a write that may wait for a reader not
  // holding the stream: the program's end locks and flushes every stream,
  // and must not wait for a reader that never comes.
  const bool may_block = MayBlockOnReader(stream);
  if (may_block) ::funlockfile(stream);
  (void)WriteAll(::fileno(stream), text.data(), text.size());
  if (!may_block) ::funlockfile(stream);
}

bool MayBlockOnReader(std::FILE* stream) {
  const auto ask = [stream] {
    struct stat info {};
    return ::fstat(::fileno(stream), &info) != 0 || !S_ISREG(info.st_mode);
  };
  // Standard output and error keep their kind for the whole run: asked
  // once, not for every line a run of many files prints.
  static std::atomic<int> known[2] = {0, 0};  // 0 not asked, 1 may block, 2 never blocks
  const int slot = stream == stdout ? 0 : stream == stderr ? 1 : -1;
  if (slot < 0) return ask();
  int kind = known[slot].load();
  if (kind == 0) {
    kind = ask() ? 1 : 2;
    known[slot].store(kind);
  }
  return kind == 1;
}

void MarkOutputWriterThread() {}

void CancelBlockedOutputWrite() {}

bool IsInteractiveInput(int fd) { return ::isatty(fd) == 1; }

InputWait WaitForInput(int fd, std::chrono::milliseconds timeout) {
  pollfd input{.fd = fd, .events = POLLIN, .revents = 0};
  const int ready = ::poll(&input, 1, static_cast<int>(timeout.count()));
  if (ready == 0 || (ready < 0 && errno == EINTR)) return InputWait::kTimedOut;
  // Data, a hang-up or a failure: the read tells which.
  return InputWait::kReady;
}

long long ReadInput(int fd, char* buffer, size_t size) { return ReadSome(fd, buffer, size); }

InterruptCatcher::InterruptCatcher(std::atomic<bool>& flag) {
  interrupt_flag.store(&flag);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &saved_interrupt);
  sigaction(SIGTERM, &action, &saved_terminate);
}

InterruptCatcher::~InterruptCatcher() {
  sigaction(SIGINT, &saved_interrupt, nullptr);
  sigaction(SIGTERM, &saved_terminate, nullptr);
  interrupt_flag.store(nullptr);
}

Utf8ConsoleOutput::Utf8ConsoleOutput() = default;

Utf8ConsoleOutput::~Utf8ConsoleOutput() = default;

void UseBinaryMode(std::FILE*) {}

void ConnectStandardStreams(bool) {}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace brenvik
