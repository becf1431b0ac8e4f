// The run's share on the progress page's taskbar button, as the page hands
// it to the taskbar (the test takes the system's place: Wine's taskbar
// shows no progress): the share grows with the verified bytes while the
// run goes on, goes once it is complete, turns red when a download was
// given up, and is shown again when the shell makes the button anew.

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "texts/run_texts.h"
#include "win32/progress_page.h"
#include "win32/resource_ids.h"
#include "win32/taskbar_progress.h"
#include "win32/window_driver.h"
#include "win32/window_world.h"

namespace brenvik::test {
namespace {

// Every share the page put on its button, and the window it named.
class ButtonRecord {
 public:
  TaskbarProgress::Sink Sink() {
    return [this](HWND window, const TaskbarShare& share) {
      const std::lock_guard lock(mutex_);
      windows_.push_back(window);
      shares_.push_back(share);
    };
  }
  std::vector<TaskbarShare> Shares() const {
    const std::lock_guard lock(mutex_);
    return shares_;
  }
  std::vector<HWND> Windows() const {
    const std::lock_guard lock(mutex_);
    return windows_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<TaskbarShare> shares_;
  std::vector<HWND> windows_;
};

WizardRun RunPage(WindowWorld& world, ButtonRecord& button) {
  return WizardRun(world, world.Config(), [&](Session& session, Prompt& prompt, auto&) {
    const auto engine = session.MakeRun(Handover{world.Folder(), false});
    ProgressPage page(*engine, prompt);
    page.SetTaskbarSink(button.Sink());
    return static_cast<int>(page.Run());
  });
}

TEST(Win32Taskbar, TheShareGrowsWithTheRunAndGoesWhenItIsComplete) {
  WindowWorld world;
  world.release.Add("Readme.txt", RandomBytes(3 * 1024, 1));
  world.release.Add("Data/a.cab", RandomBytes(200 * 1024, 2));
  world.WriteCatalogue();
  world.server.Misbehave(world.release.PathOf("Data/a.cab"),
                         Behaviour{.trickle = std::chrono::milliseconds(2)});
  const uint64_t total = 203 * 1024;
  ButtonRecord button;
  BoxAnswerer answerer;
  WizardRun run = RunPage(world, button);
  HWND progress = WaitForOwnWindow(kRunCaption);
  ASSERT_NE(progress, nullptr);
  ASSERT_TRUE(WaitForAllDone(progress));

  const std::vector<TaskbarShare> shares = button.Shares();
  ASSERT_GE(shares.size(), 2u);
  uint64_t done = 0;
  for (size_t i = 0; i + 1 < shares.size(); ++i) {
    EXPECT_EQ(shares[i].state, TaskbarState::kNormal);
    EXPECT_EQ(shares[i].total, total);
    EXPECT_GE(shares[i].done, done);
    EXPECT_LT(shares[i].done, total);
    done = shares[i].done;
  }
  EXPECT_EQ(shares.back(), TaskbarShare{});
  for (HWND window : button.Windows()) EXPECT_EQ(window, progress);

  // The shell made the button anew: the share is put on it again.
  ::SendMessageW(progress, TaskbarProgress::ButtonCreatedMessage(), 0, 0);
  EXPECT_EQ(button.Shares().size(), shares.size() + 1);
  EXPECT_EQ(button.Shares().back(), shares.back());
  PressButton(progress, IDCANCEL);
  EXPECT_TRUE(run.Wait().has_value());
}

TEST(Win32Taskbar, AGivenUpDownloadTurnsTheButtonRed) {
  WindowWorld world;
  world.release.Add("Readme.txt", RandomBytes(3 * 1024, 1));
  world.release.Add("Data/gone.cab", RandomBytes(10 * 1024, 2));
  world.WriteCatalogue();
  world.server.Remove(world.release.PathOf("Data/gone.cab"));
  ButtonRecord button;
  BoxAnswerer answerer({IDCANCEL}, IDOK);  // give the download up
  WizardRun run = RunPage(world, button);
  ASSERT_TRUE(run.Wait().has_value());

  const std::vector<TaskbarShare> shares = button.Shares();
  ASSERT_FALSE(shares.empty());
  EXPECT_EQ(shares.back().state, TaskbarState::kError);
  EXPECT_EQ(shares.back().total, 13u * 1024);
  EXPECT_LT(shares.back().done, shares.back().total);
}

// The abort wait shows the share paused; a cancelled run, or one with
// nothing to download, shows none; an installer that did not start is a
// failure at the full share.
TEST(Win32Taskbar, ShareOfTheOtherEnds) {
  RunView view;
  view.verified_bytes = 40;
  view.total_bytes = 100;
  view.aborting = true;
  EXPECT_EQ(TaskbarProgress::ShareOf(view), (TaskbarShare{TaskbarState::kPaused, 40, 100}));
  view.aborting = false;
  view.outcome = RunOutcome::kCancelled;
  EXPECT_EQ(TaskbarProgress::ShareOf(view), TaskbarShare{});
  view.verified_bytes = 100;
  view.outcome = RunOutcome::kInstallerFailed;
  EXPECT_EQ(TaskbarProgress::ShareOf(view), (TaskbarShare{TaskbarState::kError, 100, 100}));
  view.total_bytes = 0;
  view.verified_bytes = 0;
  view.outcome = RunOutcome::kNone;
  EXPECT_EQ(TaskbarProgress::ShareOf(view), TaskbarShare{});
}

}  // namespace
}  // namespace brenvik::test
