#include "run/question_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace brenvik {
namespace {

// Waits (without a time limit of its own: ctest's ends a hang) until a
// question is pending, and returns it.
Question WaitForQuestion(const QuestionQueue& queue) {
  for (;;) {
    if (std::optional<Question> question = queue.Pending()) return *question;
    std::this_thread::yield();
  }
}

TEST(QuestionQueueTest, TheAskerWaitsForTheFacesAnswer) {
  QuestionQueue queue;
  EXPECT_FALSE(queue.Pending());
  auto asked = std::async(std::launch::async, [&] {
    return queue.Ask("Disk full?", PromptButtons::kRetryCancel, PromptIcon::kStop);
  });
  const Question question = WaitForQuestion(queue);
  EXPECT_EQ(question.text, "Disk full?");
  EXPECT_EQ(question.buttons, PromptButtons::kRetryCancel);
  EXPECT_EQ(question.icon, PromptIcon::kStop);
  queue.Answer(question.id + 1, PromptAnswer::kCancel);  // not this question: dropped
  queue.Answer(question.id, PromptAnswer::kRetry);
  EXPECT_EQ(asked.get(), PromptAnswer::kRetry);
  EXPECT_FALSE(queue.Pending());
}

TEST(QuestionQueueTest, QuestionsFromTwoWorkersComeOneAtATime) {
  QuestionQueue queue;
  auto first = std::async(std::launch::async, [&] {
    return queue.Ask("first", PromptButtons::kRetryCancel, PromptIcon::kNone);
  });
  const Question shown = WaitForQuestion(queue);
  auto second = std::async(std::launch::async, [&] {
    return queue.Ask(shown.text == "first" ? "second" : "first", PromptButtons::kOk,
                     PromptIcon::kNone);
  });
  // Until the first is answered the same question stays on screen.
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(queue.Pending()->id, shown.id);
    std::this_thread::yield();
  }
  queue.Answer(shown.id, PromptAnswer::kRetry);
  Question next = WaitForQuestion(queue);
  while (next.id == shown.id) next = WaitForQuestion(queue);
  EXPECT_NE(next.text, shown.text);
  queue.Answer(next.id, PromptAnswer::kOk);
  first.get();
  second.get();
}

TEST(QuestionQueueTest, ClosingAnswersTheWaitingQuestionAndEveryLaterOne) {
  QuestionQueue queue;
  auto waiting = std::async(std::launch::async, [&] {
    return queue.Ask("Retry?", PromptButtons::kRetryCancel, PromptIcon::kNone);
  });
  WaitForQuestion(queue);
  queue.Close();
  EXPECT_EQ(waiting.get(), PromptAnswer::kCancel);
  EXPECT_TRUE(queue.Closed());
  EXPECT_EQ(queue.Ask("Retry?", PromptButtons::kRetryCancel, PromptIcon::kNone),
            PromptAnswer::kCancel);
  EXPECT_EQ(queue.Ask("Note", PromptButtons::kOk, PromptIcon::kNone), PromptAnswer::kOk);
  EXPECT_FALSE(queue.Pending());
}

}  // namespace
}  // namespace brenvik
