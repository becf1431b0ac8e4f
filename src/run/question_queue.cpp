#include "run/question_queue.h"

namespace brenvik {

PromptAnswer QuestionQueue::Declined(PromptButtons buttons) {
  return buttons == PromptButtons::kOk ? PromptAnswer::kOk : PromptAnswer::kCancel;
}

PromptAnswer QuestionQueue::Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) {
  std::unique_lock lock(mutex_);
  // One question on screen at a time: a second asker waits for the first.
  changed_.wait(lock, [&] { return closed_ || !pending_; });
  if (closed_) return Declined(buttons);
  const uint64_t id = ++last_id_;
  pending_ = Question{.id = id, .text = text, .buttons = buttons, .icon = icon};
  answer_.reset();
  changed_.wait(lock, [&] { return closed_ || answer_.has_value(); });
  const PromptAnswer answer = answer_.value_or(Declined(buttons));
  pending_.reset();
  answer_.reset();
  changed_.notify_all();
  return answer;
}

std::optional<Question> QuestionQueue::Pending() const {
  std::lock_guard lock(mutex_);
  if (answer_) return std::nullopt;  // answered, the asker has not woken yet
  return pending_;
}

void QuestionQueue::Answer(uint64_t id, PromptAnswer answer) {
  std::lock_guard lock(mutex_);
  if (!pending_ || pending_->id != id || answer_) return;
  answer_ = answer;
  changed_.notify_all();
}

void QuestionQueue::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

bool QuestionQueue::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace brenvik
