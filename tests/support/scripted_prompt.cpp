#include "support/scripted_prompt.h"

namespace brenvik::test {

ScriptedPrompt::ScriptedPrompt(std::vector<PromptAnswer> script, PromptAnswer fallback)
    : script_(script.begin(), script.end()), fallback_(fallback) {}

PromptAnswer ScriptedPrompt::Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) {
  std::function<void(const std::string&)> on_ask;
  {
    std::lock_guard lock(mutex_);
    on_ask = on_ask_;
  }
  if (on_ask) on_ask(text);
  std::lock_guard lock(mutex_);
  asked_.push_back({text, buttons, icon});
  if (script_.empty()) return fallback_;
  const PromptAnswer answer = script_.front();
  script_.pop_front();
  return answer;
}

void ScriptedPrompt::Push(PromptAnswer answer) {
  std::lock_guard lock(mutex_);
  script_.push_back(answer);
}

void ScriptedPrompt::SetOnAsk(std::function<void(const std::string&)> on_ask) {
  std::lock_guard lock(mutex_);
  on_ask_ = std::move(on_ask);
}

std::vector<AskedQuestion> ScriptedPrompt::Asked() const {
  std::lock_guard lock(mutex_);
  return asked_;
}

std::vector<std::string> ScriptedPrompt::Texts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& q : asked_) texts.push_back(q.text);
  return texts;
}

size_t ScriptedPrompt::Count() const {
  std::lock_guard lock(mutex_);
  return asked_.size();
}

}  // namespace brenvik::test
