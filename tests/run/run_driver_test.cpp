#include "run/run_driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/run_harness.h"
#include "texts/run_texts.h"

namespace brenvik::test {
namespace {

class RunDriverTest : public RunHarness {
 protected:
  // A release whose one file never comes: the run goes on until stopped.
  void AddStalledRelease() {
    release_.Add("a.bin", RandomBytes(10 * 1024, 1));
    release_.Add("stuck.bin", RandomBytes(10 * 1024, 2));
    WriteCatalogue();
    server_.Misbehave(release_.PathOf("stuck.bin"), Behaviour{.stall = std::chrono::seconds(30)});
    config_.stall_timeout = std::chrono::seconds(30);
  }

  // Polls until `done` holds or ten seconds pass.
  bool PollUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end) {
      now_ms_ += 100;
      driver_->Poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }
};

TEST_F(RunDriverTest, EnterDoesNothingDuringTheRunAndQuitsOnceItIsOver) {
  AddStalledRelease();
  NewRun();
  driver_->Start();
  ASSERT_TRUE(PollUntil([&] { return face_.last.title.find(" - 00:00:0") != std::string::npos; }));
  for (int i = 0; i < 5; ++i) driver_->Confirm();
  EXPECT_FALSE(face_.closed);
  EXPECT_EQ(face_.last.button, kCancelButton);
  EXPECT_EQ(face_.last.outcome, RunOutcome::kNone);
  EXPECT_TRUE(prompt_.Texts().empty());

  server_.Behave(release_.PathOf("stuck.bin"));
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_EQ(face_.last.outcome, RunOutcome::kComplete);
  EXPECT_FALSE(face_.closed);
  driver_->Confirm();
  EXPECT_EQ(face_.closed, RunClose::kCancelled);
  // A finished run says nothing about continuing later.
  EXPECT_TRUE(prompt_.Texts().empty());
  EXPECT_TRUE(driver_->Succeeded());
}

TEST_F(RunDriverTest, CancelRunsTheAbortWaitThenOneLastTickWithTheMessageOnce) {
  AddStalledRelease();
  NewRun();
  driver_->Start();
  ASSERT_TRUE(PollUntil([&] { return face_.last.download_row >= 0; }));
  std::vector<RunView> during;
  prompt_.SetOnAsk([&](const std::string&) { during.push_back(face_.last); });
  driver_->Cancel();

  EXPECT_EQ(face_.closed, RunClose::kCancelled);
  EXPECT_FALSE(engine_->WorkersRunning());
  EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kContinueLaterMessage}));
  // The message comes after the last tick: the button reads "Quit" and the
  // title carries the elapsed time after the abort text.
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0].button, kQuitButton);
  EXPECT_EQ(during[0].phase, RunPhase::kAborted);
  EXPECT_EQ(during[0].outcome, RunOutcome::kCancelled);
  EXPECT_TRUE(during[0].title.starts_with(std::string(kAborting) + " - 00:"));
  // More Cancels and polls after the end do nothing.
  driver_->Cancel();
  driver_->Poll();
  EXPECT_EQ(prompt_.Count(), 1u);
}

TEST_F(RunDriverTest, DuringTheAbortWaitTheButtonIsDisabledAndTheFaceKeptAlive) {
  AddStalledRelease();
  NewRun();
  driver_->Start();
  ASSERT_TRUE(PollUntil([&] { return face_.last.download_row >= 0; }));
  face_.kept_alive = 0;
  driver_->Cancel();
  ASSERT_TRUE(face_.first_aborting);
  EXPECT_EQ(face_.first_aborting->title, kAborting);
  EXPECT_FALSE(face_.first_aborting->button_enabled);
  EXPECT_GT(face_.kept_alive, 0);
  // The last tick's view: the button works again, as "Quit".
  EXPECT_TRUE(face_.last.button_enabled);
  EXPECT_EQ(face_.last.button, kQuitButton);
  EXPECT_EQ(face_.closed, RunClose::kCancelled);
}

// A close request that comes while a box is up (here: Cancel pressed while
// the question's box runs its loop) waits for the answer: the box is never
// taken away unanswered, and the run then ends as Cancel does.
TEST_F(RunDriverTest, ACancelDuringAQuestionWaitsForTheAnswer) {
  release_.Add("gone.bin", RandomBytes(1000, 3));
  WriteCatalogue();
  server_.Remove(release_.PathOf("gone.bin"));
  config_.connections = 1;
  NewRun();
  bool closed_while_asked = false;
  prompt_.SetOnAsk([&](const std::string& text) {
    if (text == kContinueLaterMessage) return;
    driver_->Cancel();
    closed_while_asked = face_.closed.has_value();
  });
  prompt_.Push(PromptAnswer::kRetry);
  driver_->Start();
  ASSERT_TRUE(PollUntil([&] { return face_.closed.has_value(); }));
  EXPECT_FALSE(closed_while_asked);
  EXPECT_EQ(face_.closed, RunClose::kCancelled);
  const std::vector<std::string> texts = prompt_.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("gone.bin"), std::string::npos);
  EXPECT_EQ(texts[1], kContinueLaterMessage);
}

// How a run ended that the user did not stop: a download given up at its
// question failed the run, as does an installer that would not start after
// every file was verified.
TEST_F(RunDriverTest, TheOutcomeTellsAFailureFromACancel) {
  release_.Add("gone.bin", RandomBytes(1000, 3));
  WriteCatalogue();
  server_.Remove(release_.PathOf("gone.bin"));
  NewRun();
  prompt_.Push(PromptAnswer::kCancel);
  ASSERT_EQ(Drive(), RunEnd::kClosed);
  EXPECT_EQ(face_.last.phase, RunPhase::kAborted);
  EXPECT_EQ(face_.last.outcome, RunOutcome::kFailed);

  server_.Serve(release_.PathOf("gone.bin"), release_.Content("gone.bin"));
  release_.Add("Install.exe", RandomBytes(1000, 4));
  WriteCatalogue();
  FakeLauncher refusing(false);
  NewRun(true, &refusing);
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_EQ(face_.last.outcome, RunOutcome::kInstallerFailed);
}

TEST_F(RunDriverTest, ViewsCarryEveryRowOnceAndThenOnlyWhatChanged) {
  for (int i = 0; i < 40; ++i) release_.Add("f" + std::to_string(i), RandomBytes(100, 10 + i));
  WriteCatalogue();
  for (const auto& [name, content] : release_.Files()) download_dir_.Write(name, content);
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_EQ(face_.last.row_count, 40);
  // Nothing changes after the end: the next view carries no row at all.
  driver_->Poll();
  EXPECT_FALSE(face_.last.rows.whole_table);
  EXPECT_TRUE(face_.last.rows.rows.empty());
  EXPECT_EQ(face_.last.status_line, kAllDone);
}

TEST(RunDriverRules, TitleCarriesTheElapsedTimeWithHoursBeyondDays) {
  const std::string caption = "Quellmoor Tessivane Brenvik Step 2 / 2";
  const std::string first = RunDriver::TitleWithElapsed(caption, 3 * 3600 + 25 * 60 + 7);
  EXPECT_EQ(first, caption + " - 03:25:07");
  EXPECT_EQ(RunDriver::TitleWithElapsed(first, 26 * 3600 + 1), caption + " - 02:00:01");
  EXPECT_EQ(RunDriver::TitleWithElapsed("Aborting, please wait...", 5),
            "Aborting, please wait... - 00:00:05");
}

}  // namespace
}  // namespace brenvik::test
