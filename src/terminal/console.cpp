#include "terminal/console.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "texts/printable_text.h"

namespace brenvik {

namespace {

constexpr int kInterruptCheckMs = 100;

bool UnderstandsCursorMovement() {
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

int PositiveFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  const long number = std::strtol(value, nullptr, 10);
  return number > 0 && number < 100000 ? static_cast<int>(number) : 0;
}

}  // namespace

Console::Console(ConsoleStreams streams) : streams_(streams) {
  output_is_terminal_ = ::isatty(::fileno(streams_.output)) == 1 && UnderstandsCursorMovement();
  input_is_terminal_ = ::isatty(streams_.input_fd) == 1;
}

std::optional<TerminalSize> Console::OutputSize() const {
  TerminalSize size;
  winsize window{};
  if (::ioctl(::fileno(streams_.output), TIOCGWINSZ, &window) == 0) {
    size.rows = window.ws_row;
    size.columns = window.ws_col;
  }
  // A pseudo-terminal whose size nobody set reports 0 x 0.
  if (size.rows <= 0) size.rows = PositiveFromEnvironment("LINES");
  if (size.columns <= 0) size.columns = PositiveFromEnvironment("COLUMNS");
  if (size.rows <= 0 || size.columns <= 0) return std::nullopt;
  return size;
}

void Console::Write(std::FILE* stream, std::string_view text) {
  // The stream's own lock keeps other threads' printf out of the middle.
  ::flockfile(stream);
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
  ::funlockfile(stream);
}

void Console::Print(std::string_view text) {
  const std::string shown = PrintableText(text);
  std::lock_guard lock(output_mutex_);
  Write(streams_.output, shown);
}

void Console::PrintQuestion(std::string_view text) {
  const std::string shown = PrintableText(text);
  std::lock_guard lock(output_mutex_);
  // Both streams may end up in the same place: what was shown comes first.
  std::fflush(streams_.output);
  Write(streams_.questions, shown);
}

void Console::PrintTerminalCommands(std::string_view commands) {
  std::lock_guard lock(output_mutex_);
  Write(streams_.output, commands);
}

ReadResult Console::ReadLine(std::string& line, const std::atomic<bool>& interrupted) {
  line.clear();
  for (;;) {
    if (const size_t end = pending_input_.find('\n'); end != std::string::npos) {
      line = pending_input_.substr(0, end);
      pending_input_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return ReadResult::kLine;
    }
    if (input_ended_.load()) return ReadResult::kEnd;
    if (interrupted.load()) return ReadResult::kInterrupted;

    pollfd input{.fd = streams_.input_fd, .events = POLLIN, .revents = 0};
    const int ready = ::poll(&input, 1, kInterruptCheckMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;
    char buffer[512];
    const ssize_t got = ready < 0 ? -1 : ::read(streams_.input_fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      // A last line without its line feed still counts as an answer.
      input_ended_.store(true);
      if (!pending_input_.empty()) {
        line = std::move(pending_input_);
        pending_input_.clear();
        return ReadResult::kLine;
      }
      return ReadResult::kEnd;
    }
    pending_input_.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace brenvik
