#pragma once
// The terminal as the terminal face uses it: one output stream for what the
// program shows (standard output), one stream for its questions (standard
// error), and one input for the answers (standard input).
//
// Print and PrintQuestion are for text, any part of which may have come
// from outside the program: they show its control characters (see
// platform/printable_text.h), so a catalogue name or a server's text can
// never drive the terminal. Only PrintTerminalCommands writes bytes as they
// are, for the face's own cursor movements around text it made printable.
//
// Every write goes out whole and in order, through the output queue
// (platform/output_queue.h): a pipe nobody reads or a stopped terminal
// never holds up the caller for longer than it takes the stop flag to be
// set, so Ctrl-C ends a run whatever the output is doing. A question never
// lands inside a redraw, and another writer on the same stream (a worker's
// message) never lands inside either. Questions are asked one at a time:
// the asker holds QuestionLock() from the question to its answer.
//
// Threads: any thread. ReadLine only with QuestionLock() held.

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/console_io.h"

namespace brenvik {

struct ConsoleStreams {
  int input_fd = 0;
  std::FILE* output = stdout;
  std::FILE* questions = stderr;
};

enum class ReadResult {
  kLine,         // a line arrived
  kEnd,          // the input ended (or failed) before a line feed
  kInterrupted,  // the interrupt flag was set while waiting
};

class Console {
 public:
  // Once `stop` is set, a write that finds the output queue full is dropped
  // instead of waiting for room (without a flag it waits as long as it takes).
  explicit Console(ConsoleStreams streams = {}, const std::atomic<bool>* stop = nullptr);
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // A terminal that understands cursor movement (see TerminalOutput); on
  // Windows the console takes terminal commands while the console lives.
  bool OutputIsTerminal() const { return output_.TakesCommands(); }
  bool InputIsTerminal() const { return input_is_terminal_; }
  // The output terminal's size; $LINES/$COLUMNS when the terminal does not
  // say, nullopt when nothing does.
  std::optional<TerminalSize> OutputSize() const;

  // Writes `text`, its control characters shown (line feeds kept), to the
  // output stream in one piece and flushes it.
  void Print(std::string_view text);
  // Writes `text`, its control characters shown (line feeds kept), to the
  // question stream, after everything printed so far.
  void PrintQuestion(std::string_view text);
  // Writes `commands` to the output stream exactly as given: terminal
  // commands and text the caller has already made printable.
  void PrintTerminalCommands(std::string_view commands);

  // Held by a question from its text to its answer.
  [[nodiscard]] std::unique_lock<std::mutex> QuestionLock() {
    return std::unique_lock(question_mutex_);
  }

  // Reads one line from the input, without its line feed (and carriage
  // return). Checks `interrupted` every 100 ms while it waits. Once the input
  // has ended, every later call returns kEnd at once. A Windows console's
  // line comes as UTF-8.
  [[nodiscard]] ReadResult ReadLine(std::string& line, const std::atomic<bool>& interrupted);
  bool InputEnded() const { return input_ended_.load(); }

  // True while a question waits for its answer on the terminal. The live
  // view does not redraw meanwhile, so what the user types stays where the
  // cursor is.
  bool Waiting() const { return waiting_.load(); }
  class WaitingScope {
   public:
    explicit WaitingScope(Console& console) : console_(console) { console_.waiting_.store(true); }
    ~WaitingScope() { console_.waiting_.store(false); }
    WaitingScope(const WaitingScope&) = delete;
    WaitingScope& operator=(const WaitingScope&) = delete;

   private:
    Console& console_;
  };

 private:
  // Reads more input into pending_input_; false when the input has ended.
  // Returns with nothing new after a time-out or a signal, and drops what
  // it read once `interrupted` is set.
  bool ReadMore(const std::atomic<bool>& interrupted);

  // Queues `text` for `stream` under the output lock.
  void Write(std::FILE* stream, std::string text);

  ConsoleStreams streams_;
  const std::atomic<bool>* stop_;
  TerminalOutput output_;
  bool input_is_terminal_ = false;
  std::mutex output_mutex_;
  std::mutex question_mutex_;
  std::string pending_input_;  // read past the last line feed; guarded by question_mutex_
  std::atomic<bool> input_ended_{false};
  std::atomic<bool> waiting_{false};
};

}  // namespace brenvik
