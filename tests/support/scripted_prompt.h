#pragma once
// A prompt that answers from a script and records every question, for tests.
// Thread-safe: workers may ask from their threads.

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/prompt.h"

namespace brenvik::test {

struct AskedQuestion {
  std::string text;
  PromptButtons buttons;
  PromptIcon icon;
};

class ScriptedPrompt : public Prompt {
 public:
  // Answers used in order; when the script runs out, `fallback` is given.
  explicit ScriptedPrompt(std::vector<PromptAnswer> script = {},
                          PromptAnswer fallback = PromptAnswer::kCancel);
  PromptAnswer Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) override;

  void Push(PromptAnswer answer);
  // Runs before each answer is given, on the asking thread (outside the lock).
  void SetOnAsk(std::function<void(const std::string& text)> on_ask);
  std::vector<AskedQuestion> Asked() const;
  std::vector<std::string> Texts() const;
  size_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::deque<PromptAnswer> script_;
  PromptAnswer fallback_;
  std::vector<AskedQuestion> asked_;
  std::function<void(const std::string&)> on_ask_;
};

}  // namespace brenvik::test
