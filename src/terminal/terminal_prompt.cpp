#include "terminal/terminal_prompt.h"

#include <cctype>

#include "terminal/console.h"

namespace brenvik {

namespace {

constexpr const char* kRetryCancelButtons = "[R]etry / [C]ancel? ";
constexpr const char* kOkButton = "[O]K? ";

std::string Lowered(const std::string& text) {
  std::string lowered;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      lowered.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  }
  return lowered;
}

std::optional<PromptAnswer> ParseAnswer(const std::string& line, PromptButtons buttons) {
  if (buttons == PromptButtons::kOk) return PromptAnswer::kOk;
  const std::string word = Lowered(line);
  if (word == "r" || word == "retry") return PromptAnswer::kRetry;
  if (word == "c" || word == "cancel") return PromptAnswer::kCancel;
  return std::nullopt;
}

}  // namespace

TerminalPrompt::TerminalPrompt(Console& console, bool automatic,
                               const std::atomic<bool>& interrupted)
    : console_(console), automatic_(automatic), interrupted_(interrupted) {}

bool TerminalPrompt::Automatic() const {
  return automatic_ || console_.InputEnded() || interrupted_.load();
}

PromptAnswer TerminalPrompt::Ask(const std::string& text, PromptButtons buttons, PromptIcon) {
  const auto lock = console_.QuestionLock();
  const bool retry_cancel = buttons == PromptButtons::kRetryCancel;
  const PromptAnswer given_up = retry_cancel ? PromptAnswer::kCancel : PromptAnswer::kOk;
  const std::string given_up_word = retry_cancel ? "Cancel\n" : "OK\n";
  const char* button_text = retry_cancel ? kRetryCancelButtons : kOkButton;

  // A blank line sets the question apart from the progress lines above it.
  console_.PrintQuestion("\n" + text + "\n" + button_text);
  if (Automatic()) {
    console_.PrintQuestion(given_up_word);
    return given_up;
  }
  const Console::WaitingScope waiting(console_);
  for (;;) {
    std::string line;
    switch (console_.ReadLine(line, interrupted_)) {
      case ReadResult::kLine:
        if (const auto answer = ParseAnswer(line, buttons)) return *answer;
        console_.PrintQuestion(button_text);
        break;
      case ReadResult::kEnd:
      case ReadResult::kInterrupted:
        console_.PrintQuestion(given_up_word);
        return given_up;
    }
  }
}

std::optional<std::string> TerminalPrompt::AskLine(const std::string& question,
                                                   const std::string& automatic_answer) {
  const auto lock = console_.QuestionLock();
  console_.PrintQuestion(question);
  if (!Automatic()) {
    const Console::WaitingScope waiting(console_);
    std::string line;
    if (console_.ReadLine(line, interrupted_) == ReadResult::kLine) return line;
  }
  console_.PrintQuestion(automatic_answer + "\n");
  return std::nullopt;
}

}  // namespace brenvik
