#include "terminal/console.h"

#include <cerrno>
#include <cstdlib>

#include "platform/output_queue.h"
#include "texts/printable_text.h"

namespace brenvik {

namespace {

constexpr std::chrono::milliseconds kInterruptCheck{100};

int PositiveFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  const long number = std::strtol(value, nullptr, 10);
  return number > 0 && number < 100000 ? static_cast<int>(number) : 0;
}

}  // namespace

Console::Console(ConsoleStreams streams, const std::atomic<bool>* stop)
    : streams_(streams), stop_(stop), output_(streams_.output) {
  input_is_terminal_ = IsInteractiveInput(streams_.input_fd);
}

std::optional<TerminalSize> Console::OutputSize() const {
  TerminalSize size = output_.Size().value_or(TerminalSize{});
  if (size.rows <= 0) size.rows = PositiveFromEnvironment("LINES");
  if (size.columns <= 0) size.columns = PositiveFromEnvironment("COLUMNS");
  if (size.rows <= 0 || size.columns <= 0) return std::nullopt;
  return size;
}

void Console::Write(std::FILE* stream, std::string text) {
  // Never waits on the output once a stop is asked for: the run ends
  // whether or not anyone reads.
  std::lock_guard lock(output_mutex_);
  (void)QueueText(stream, std::move(text), stop_);
}

void Console::Print(std::string_view text) { Write(streams_.output, PrintableText(text)); }

// Both streams may end up in the same place: the queue keeps what was shown first.
void Console::PrintQuestion(std::string_view text) {
  Write(streams_.questions, PrintableText(text));
}

void Console::PrintTerminalCommands(std::string_view commands) {
  Write(streams_.output, std::string(commands));
}

bool Console::ReadMore(const std::atomic<bool>& interrupted) {
  if (WaitForInput(streams_.input_fd, kInterruptCheck) == InputWait::kTimedOut) return true;
  char buffer[512];
  const long long got = ReadInput(streams_.input_fd, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) return false;
  // A line finished after Ctrl-C is no answer: a console whose pending read
  // the interrupt did not end hands over what was typed before it.
  if (!interrupted.load()) pending_input_.append(buffer, static_cast<size_t>(got));
  return true;
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
    if (ReadMore(interrupted)) continue;
    // A last line without its line feed still counts as an answer.
    input_ended_.store(true);
    if (pending_input_.empty()) return ReadResult::kEnd;
    line = std::move(pending_input_);
    pending_input_.clear();
    return ReadResult::kLine;
  }
}

}  // namespace brenvik
