#include "terminal/terminal_prompt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "terminal/console.h"

namespace brenvik {
namespace {

// A console over a pipe for the answers and two temporary files for what
// is shown and what is asked.
class TerminalPromptTest : public ::testing::Test {
 protected:
  TerminalPromptTest() {
    EXPECT_EQ(::pipe2(answers_, O_CLOEXEC), 0);
    output_ = std::tmpfile();
    questions_ = std::tmpfile();
    console_ = std::make_unique<Console>(
        ConsoleStreams{.input_fd = answers_[0], .output = output_, .questions = questions_});
  }
  ~TerminalPromptTest() override {
    console_.reset();
    CloseInput();
    ::close(answers_[0]);
    std::fclose(output_);
    std::fclose(questions_);
  }

  void Type(const std::string& text) {
    ASSERT_EQ(::write(answers_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    if (answers_[1] >= 0) ::close(answers_[1]);
    answers_[1] = -1;
  }
  static std::string Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
      text.push_back(static_cast<char>(c));
    return text;
  }
  std::string Asked() { return Contents(questions_); }

  int answers_[2] = {-1, -1};
  std::FILE* output_ = nullptr;
  std::FILE* questions_ = nullptr;
  std::unique_ptr<Console> console_;
  std::atomic<bool> interrupted_{false};
};

TEST_F(TerminalPromptTest, AutomaticAnswersCancelAndOkAndShowsWhatItAnswered) {
  TerminalPrompt prompt(*console_, /*automatic=*/true, interrupted_);
  Type("r\n");  // never read
  EXPECT_EQ(prompt.Ask("Disk full.\nRetry?", PromptButtons::kRetryCancel, PromptIcon::kStop),
            PromptAnswer::kCancel);
  EXPECT_EQ(prompt.Ask("Done.", PromptButtons::kOk, PromptIcon::kNone), PromptAnswer::kOk);
  EXPECT_EQ(prompt.AskLine("Folder: ", "(kept)"), std::nullopt);
  EXPECT_EQ(
      Asked(),
      "\nDisk full.\nRetry?\n[R]etry / [C]ancel? Cancel\n\nDone.\n[O]K? OK\nFolder: (kept)\n");

  // The typed answer is still there for a prompt that reads.
  TerminalPrompt reading(*console_, false, interrupted_);
  EXPECT_EQ(reading.Ask("Again?", PromptButtons::kRetryCancel, PromptIcon::kNone),
            PromptAnswer::kRetry);
}

// A catalogue name or version in a question or a line must not drive the
// terminal: its controls are shown; only the face's own commands go out as
// they are.
TEST_F(TerminalPromptTest, ControlCharactersFromOutsideAreShownNotObeyed) {
  TerminalPrompt prompt(*console_, /*automatic=*/true, interrupted_);
  EXPECT_EQ(prompt.Ask("Couldn't download \"http://h/1.0/e\x1b]0;x\a.bin\".\nPlease contact us.",
                       PromptButtons::kRetryCancel, PromptIcon::kNone),
            PromptAnswer::kCancel);
  EXPECT_EQ(prompt.AskLine("Folder \x9b"
                           "2J\xc2\x9b"
                           "1m: ",
                           ""),
            std::nullopt);
  EXPECT_EQ(Asked(),
            "\nCouldn't download \"http://h/1.0/e\\x1B]0;x\\x07.bin\".\nPlease contact us.\n"
            "[R]etry / [C]ancel? Cancel\nFolder \\x9B2J\\u009B1m: \n");

  console_->Print("Version: 1.0\x1b[31m\x7f\nSize: 0 MB\n");
  console_->PrintTerminalCommands(
      "\x1b"
      "7\x1b[2K\x1b"
      "8");
  EXPECT_EQ(Contents(output_),
            "Version: 1.0\\x1B[31m\\x7F\nSize: 0 MB\n\x1b"
            "7\x1b[2K\x1b"
            "8");
}

TEST_F(TerminalPromptTest, ReadsAnswersAndAsksAgainAfterAnythingElse) {
  TerminalPrompt prompt(*console_, false, interrupted_);
  Type("maybe\n RETRY \r\nc\nx\n\n");
  EXPECT_EQ(prompt.Ask("Q1", PromptButtons::kRetryCancel, PromptIcon::kNone), PromptAnswer::kRetry);
  EXPECT_EQ(prompt.Ask("Q2", PromptButtons::kRetryCancel, PromptIcon::kNone),
            PromptAnswer::kCancel);
  // OK takes any line, the next question gets the next line.
  EXPECT_EQ(prompt.Ask("Q3", PromptButtons::kOk, PromptIcon::kNone), PromptAnswer::kOk);
  EXPECT_EQ(prompt.AskLine("Folder: ", ""), "");
  EXPECT_EQ(Asked(),
            "\nQ1\n[R]etry / [C]ancel? [R]etry / [C]ancel? \nQ2\n[R]etry / [C]ancel? \nQ3\n[O]K? "
            "Folder: ");
  EXPECT_FALSE(prompt.Automatic());
}

TEST_F(TerminalPromptTest, EndOfInputGivesUpAndMakesTheRestAutomatic) {
  TerminalPrompt prompt(*console_, false, interrupted_);
  Type("retr");  // a last line without its line feed still counts, but this is no answer
  CloseInput();
  EXPECT_EQ(prompt.Ask("Q", PromptButtons::kRetryCancel, PromptIcon::kNone), PromptAnswer::kCancel);
  EXPECT_TRUE(prompt.Automatic());
  EXPECT_EQ(prompt.Ask("Q2", PromptButtons::kOk, PromptIcon::kNone), PromptAnswer::kOk);
  EXPECT_EQ(Asked(), "\nQ\n[R]etry / [C]ancel? [R]etry / [C]ancel? Cancel\n\nQ2\n[O]K? OK\n");
}

TEST_F(TerminalPromptTest, LastLineWithoutLineFeedIsAnAnswer) {
  TerminalPrompt prompt(*console_, false, interrupted_);
  Type("r");
  CloseInput();
  EXPECT_EQ(prompt.Ask("Q", PromptButtons::kRetryCancel, PromptIcon::kNone), PromptAnswer::kRetry);
}

TEST_F(TerminalPromptTest, InterruptEndsAWaitingQuestionWithCancel) {
  TerminalPrompt prompt(*console_, false, interrupted_);
  std::thread interrupter([this] {
    // The question must be waiting before the flag comes.
    while (!console_->Waiting()) std::this_thread::yield();
    interrupted_.store(true);
  });
  EXPECT_EQ(prompt.Ask("Q", PromptButtons::kRetryCancel, PromptIcon::kNone), PromptAnswer::kCancel);
  interrupter.join();
  EXPECT_FALSE(console_->Waiting());
  EXPECT_EQ(Asked(), "\nQ\n[R]etry / [C]ancel? Cancel\n");
}

// A console whose pending read Ctrl-C does not end hands over the line once
// Enter is pressed: that line is typed before the interrupt but finished
// after it, and it is no answer.
TEST_F(TerminalPromptTest, ALineArrivingAfterTheInterruptIsNoAnswer) {
  TerminalPrompt prompt(*console_, false, interrupted_);
  std::thread interrupter([this] {
    while (!console_->Waiting()) std::this_thread::yield();
    interrupted_.store(true);
    Type("r\n");
  });
  EXPECT_EQ(prompt.Ask("Q", PromptButtons::kRetryCancel, PromptIcon::kNone), PromptAnswer::kCancel);
  interrupter.join();
  EXPECT_EQ(Asked(), "\nQ\n[R]etry / [C]ancel? Cancel\n");
}

TEST_F(TerminalPromptTest, QuestionsFromTwoThreadsAreAskedOneAfterTheOther) {
  TerminalPrompt prompt(*console_, false, interrupted_);
  std::atomic<int> answered{0};
  std::thread worker([&] {
    EXPECT_EQ(prompt.Ask("from the worker", PromptButtons::kRetryCancel, PromptIcon::kNone),
              PromptAnswer::kRetry);
    ++answered;
  });
  std::thread other([&] {
    EXPECT_EQ(prompt.Ask("from the other", PromptButtons::kRetryCancel, PromptIcon::kNone),
              PromptAnswer::kRetry);
    ++answered;
  });
  while (!console_->Waiting()) std::this_thread::yield();
  Type("r\n");
  while (answered.load() == 0) std::this_thread::yield();
  Type("r\n");
  worker.join();
  other.join();
  const std::string asked = Asked();
  const std::string worker_text = "\nfrom the worker\n[R]etry / [C]ancel? ";
  const std::string other_text = "\nfrom the other\n[R]etry / [C]ancel? ";
  EXPECT_TRUE(asked == worker_text + other_text || asked == other_text + worker_text) << asked;
}

}  // namespace
}  // namespace brenvik
