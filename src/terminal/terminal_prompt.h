#pragma once
// The prompt of the terminal face. A question is its message text followed
// by its buttons, "[R]etry / [C]ancel? " or "[O]K? ", written to the console's
// question stream; the answer is a line read from the console's input:
// "r"/"retry" or "c"/"cancel" (any letter case) for Retry/Cancel, any line
// for OK; anything else asks again.
//
// An automatic prompt (--yes, or an input that is not a terminal) never
// reads: it answers Cancel to Retry/Cancel and OK to an OK-only message, and
// writes the answer after the buttons, so a log shows the exact question and
// what was answered. The same happens once the input has ended and once the
// interrupt flag is set (Ctrl-C is Cancel).
//
// Threads: any thread; one question at a time (the console's question
// lock), so a worker's question and the face's own never mix.

#include <atomic>
#include <optional>
#include <string>

#include "platform/prompt.h"

namespace brenvik {

class Console;

class TerminalPrompt final : public Prompt {
 public:
  TerminalPrompt(Console& console, bool automatic, const std::atomic<bool>& interrupted);

  PromptAnswer Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) override;

  // The face's own question: writes `question` and returns the line typed,
  // or nullopt when the prompt answers by itself (automatic, input ended,
  // interrupted); then `automatic_answer` (may be empty) is written after
  // the question.
  std::optional<std::string> AskLine(const std::string& question,
                                     const std::string& automatic_answer);

  // True when questions are answered without reading.
  bool Automatic() const;

 private:
  Console& console_;
  const bool automatic_;
  const std::atomic<bool>& interrupted_;
};

}  // namespace brenvik
