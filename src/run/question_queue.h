#pragma once
// The questions a run's workers ask (a download that keeps failing, a full
// disk), held until the face answers them on its own thread.
//
// A worker calls Ask like any prompt and blocks. The face sees the question
// in the run's poll, asks the user in its own way and hands the answer back
// with Answer. Once the run is closing (Close), a waiting question and every
// later one are answered at once with Cancel (OK where OK is the only
// button), so no worker ever waits for a face that has stopped listening.
//
// Threads: Ask on any worker thread (one question at a time is shown; a
// second asker waits its turn); Pending, Answer and Close on the face's
// thread.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/prompt.h"

namespace brenvik {

struct Question {
  uint64_t id = 0;  // distinguishes one question from the next with the same text
  std::string text;
  PromptButtons buttons = PromptButtons::kOk;
  PromptIcon icon = PromptIcon::kNone;
};

class QuestionQueue final : public Prompt {
 public:
  PromptAnswer Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) override;

  // The question waiting for its answer, if any.
  std::optional<Question> Pending() const;
  // Answers the question `id`; an answer to a question no longer waiting is dropped.
  void Answer(uint64_t id, PromptAnswer answer);
  // Answers whatever waits, and every later question, without asking.
  void Close();
  bool Closed() const;

 private:
  static PromptAnswer Declined(PromptButtons buttons);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Question> pending_;
  std::optional<PromptAnswer> answer_;
  uint64_t last_id_ = 0;
  bool closed_ = false;
};

}  // namespace brenvik
