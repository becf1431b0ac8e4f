#include "run/run_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>

#include "platform/installer.h"
#include "run/download_worker.h"
#include "run/run_harness.h"
#include "setup/setup_flow.h"
#include "support/held_file_probe.h"
#include "texts/run_texts.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

class RunEngineTest : public RunHarness {
 protected:
  void AddStandardRelease() {
    release_.Add("Setup.dat", RandomBytes(300 * 1024, 1));
    release_.Add("a file.bin", RandomBytes(70 * 1024, 2));
    release_.Add("data/sub/level1.pak", RandomBytes(90 * 1024, 3));
    release_.Add("empty.txt", "");
    WriteCatalogue();
  }
};

TEST_F(RunEngineTest, FreshFolderGetsEveryFileOnceAndVerified) {
  AddStandardRelease();
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  for (const auto& [name, content] : release_.Files()) {
    EXPECT_EQ(OnDisk(name), content) << name;
    EXPECT_EQ(server_.Requests(release_.PathOf(name)), 1) << name;
    EXPECT_FALSE(fs::exists(download_dir_.path() / (name + ".part"))) << name;
  }
  EXPECT_EQ(engine_->table().StatusLine(), kAllDone);
  EXPECT_EQ(StatusText(0), "Checksum OK");
  EXPECT_EQ(face_.last.button, kQuitButton);
  EXPECT_EQ(face_.last.verified_bytes, face_.last.total_bytes);
  EXPECT_EQ(face_.last.progress, face_.last.progress_range);
  EXPECT_TRUE(engine_->Succeeded());
  EXPECT_TRUE(prompt_.Texts().empty());
  engine_->WaitForWorkers({});
  EXPECT_TRUE(flags_->download_worker_done && flags_->verification_worker_done);
}

// A scanner holding the fresh file for a moment costs a short wait, not a
// question; one that keeps holding it brings the question, which names it.
// (A file that failed its check is replaced through its partial file, and
// that one is renamed; a small file fetched afresh goes straight to its name.)
TEST_F(RunEngineTest, AFileHeldForAMomentAtItsRenameEndsVerifiedWithoutAQuestion) {
  AddStandardRelease();
  const std::string wrong(release_.Files().at("a file.bin").size(), 'x');
  download_dir_.Write("a file.bin", wrong);
  {
    const test::HeldFile held("rename", "a file.bin.part", 2);
    NewRun();
    ASSERT_EQ(Drive(), RunEnd::kFinished);
    EXPECT_EQ(held.Tries(), 3);
  }
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(OnDisk("a file.bin"), release_.Files().at("a file.bin"));
  EXPECT_EQ(server_.Requests(release_.PathOf("a file.bin")), 1);
  EXPECT_TRUE(prompt_.Texts().empty());

  download_dir_.Write("a file.bin", wrong);
  const test::HeldFile held("rename", "a file.bin.part", 1000);
  NewRun();
  EXPECT_NE(Drive(), RunEnd::kFinished);
  ASSERT_FALSE(prompt_.Texts().empty());
  EXPECT_NE(prompt_.Texts()[0].find("a file.bin.part"), std::string::npos) << prompt_.Texts()[0];
  EXPECT_NE(prompt_.Texts()[0].find(kHeldFileCause), std::string::npos) << prompt_.Texts()[0];
}

TEST_F(RunEngineTest, CompleteFolderIsCheckedWithoutAnyDownload) {
  AddStandardRelease();
  for (const auto& [name, content] : release_.Files()) download_dir_.Write(name, content);
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(FileRequests(), 0);
}

TEST_F(RunEngineTest, ExactlyTheMissingShortAndCorruptedFilesAreFetchedAgain) {
  release_.Add("good.bin", RandomBytes(50000, 4));
  release_.Add("missing.bin", RandomBytes(50000, 5));
  release_.Add("short.bin", RandomBytes(50000, 6));
  release_.Add("corrupt.bin", RandomBytes(50000, 7));
  WriteCatalogue();
  download_dir_.Write("good.bin", release_.Content("good.bin"));
  download_dir_.Write("short.bin", release_.Content("short.bin").substr(0, 40000));
  std::string corrupt = release_.Content("corrupt.bin");
  corrupt[1234] ^= 0x40;
  download_dir_.Write("corrupt.bin", corrupt);

  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(server_.Requests(release_.PathOf("good.bin")), 0);
  EXPECT_EQ(server_.Requests(release_.PathOf("missing.bin")), 1);
  EXPECT_EQ(server_.Requests(release_.PathOf("short.bin")), 1);
  EXPECT_EQ(server_.Requests(release_.PathOf("corrupt.bin")), 1);
  EXPECT_EQ(OnDisk("corrupt.bin"), release_.Content("corrupt.bin"));
}

TEST_F(RunEngineTest, MissingOnServerAsksAfterElevenFailuresThenRetryThenCancel) {
  release_.Add("ok.bin", RandomBytes(1000, 8));
  release_.Add("gone.bin", RandomBytes(1000, 9));
  WriteCatalogue();
  server_.Remove(release_.PathOf("gone.bin"));
  const std::string url = release_.BaseUrl() + "1.0/gone.bin";
  const std::string message = DownloadFailureMessage(url, "help@example.test");
  EXPECT_EQ(message,
            "Couldn't download \"" + url + "\".\nPlease contact help@example.test for assistance.");
  // The question adds why the last attempt failed, on a line of its own.
  const std::string question = message + "\nHTTP status 404";

  std::vector<int> requests_when_asked;
  prompt_.SetOnAsk([&](const std::string& text) {
    if (text == kContinueLaterMessage) return;
    requests_when_asked.push_back(server_.Requests(release_.PathOf("gone.bin")));
  });
  prompt_.Push(PromptAnswer::kRetry);
  prompt_.Push(PromptAnswer::kCancel);
  // One download at a time, so that ok.bin's success cannot fall between
  // the failures and start their count afresh.
  config_.connections = 1;
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kClosed);

  // Cancel closes the run as the page's Cancel does: the continue-later
  // message follows.
  EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{question, question, kContinueLaterMessage}));
  EXPECT_EQ(prompt_.Asked()[0].buttons, PromptButtons::kRetryCancel);
  EXPECT_EQ(requests_when_asked, (std::vector<int>{11, 22}));
  EXPECT_EQ(engine_->table().Row(0).state, JobState::Verified);
  EXPECT_EQ(engine_->table().Row(1).state, JobState::PendingDownload);
  EXPECT_FALSE(fs::exists(download_dir_.path() / "gone.bin"));
  EXPECT_FALSE(engine_->WorkersRunning());
}

TEST_F(RunEngineTest, StalledServerFailsTheAttemptAndTheRetrySucceeds) {
  release_.Add("slow.bin", RandomBytes(20000, 10));
  WriteCatalogue();
  server_.Misbehave(release_.PathOf("slow.bin"), Behaviour{.stall = std::chrono::seconds(30)});
  prompt_.SetOnAsk([](const std::string&) { ADD_FAILURE() << "no question expected"; });
  std::thread heal([&] {
    while (server_.Requests(release_.PathOf("slow.bin")) < 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Let the first attempt stall out, then behave for the retry.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    server_.Behave(release_.PathOf("slow.bin"));
  });
  NewRun();
  const RunEnd end = Drive();
  heal.join();
  ASSERT_EQ(end, RunEnd::kFinished);
  EXPECT_GE(server_.Requests(release_.PathOf("slow.bin")), 2);
  EXPECT_EQ(OnDisk("slow.bin"), release_.Content("slow.bin"));
}

TEST(BackOffTest, DoublesFromOnePauseUpToEight) {
  using std::chrono::milliseconds;
  const milliseconds pause(500);
  EXPECT_EQ(BackOff(pause, 0), milliseconds(500));  // after a Retry: one pause
  EXPECT_EQ(BackOff(pause, 1), milliseconds(500));
  EXPECT_EQ(BackOff(pause, 2), milliseconds(1000));
  EXPECT_EQ(BackOff(pause, 4), milliseconds(4000));
  EXPECT_EQ(BackOff(pause, 5), milliseconds(4000));
  EXPECT_EQ(BackOff(pause, 1000), milliseconds(4000));
  milliseconds eleven{0};
  for (int failures = 1; failures <= 11; ++failures) eleven += BackOff(pause, failures);
  EXPECT_LT(eleven, std::chrono::minutes(1));
}

TEST_F(RunEngineTest, BusyServerIsWaitedForAsItAskedAndTheRowSaysSo) {
  release_.Add("busy.bin", RandomBytes(5000, 20));
  WriteCatalogue();
  server_.Misbehave(release_.PathOf("busy.bin"),
                    Behaviour{.status = 503, .retry_after = "2", .times = 1});
  prompt_.SetOnAsk([](const std::string&) { ADD_FAILURE() << "no question expected"; });
  NewRun();
  std::mutex mutex;
  std::vector<std::string> seen;
  engine_->table().SetChangeListener([&](int row) {
    if (row < 0) return;
    const std::string text = StatusText(row);
    std::lock_guard lock(mutex);
    seen.push_back(text);
  });
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  engine_->WaitForWorkers({});  // no listener call is under way after this
  engine_->table().SetChangeListener({});
  EXPECT_EQ(server_.Requests(release_.PathOf("busy.bin")), 2);
  EXPECT_EQ(OnDisk("busy.bin"), release_.Content("busy.bin"));
  EXPECT_NE(std::find(seen.begin(), seen.end(),
                      "Retrying in 2 s: attempt 1 of 11 failed (HTTP status 503)"),
            seen.end());
}

// A server's Retry-After is waited out by the run's clock, not by the time
// the test takes: with the clock held, no second request comes however long
// the worker waits; once the clock has passed the two seconds, it does.
TEST_F(RunEngineTest, RetryAfterIsWaitedOutByTheRunsClock) {
  release_.Add("busy.bin", RandomBytes(5000, 22));
  WriteCatalogue();
  const std::string path = release_.PathOf("busy.bin");
  server_.Misbehave(path, Behaviour{.status = 503, .retry_after = "2", .times = 1});
  RunEngine& run = NewRun();
  run.Start();
  const auto within = [](const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
  };
  ASSERT_TRUE(within([&] { return StatusText(0).starts_with("Retrying in 2 s"); }))
      << StatusText(0);
  // More real time than the server asked for passes; the run's clock does not.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(server_.Requests(path), 1);
  now_ms_ += 1000;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(server_.Requests(path), 1);
  now_ms_ += 1100;
  EXPECT_TRUE(within([&] { return server_.Requests(path) == 2; }));
  EXPECT_TRUE(within([&] { return AllVerified(); }));
  run.WaitForWorkers({});
  EXPECT_EQ(OnDisk("busy.bin"), release_.Content("busy.bin"));
}

TEST_F(RunEngineTest, CancelDuringALongServerWaitEndsTheWorkers) {
  release_.Add("busy.bin", RandomBytes(5000, 21));
  WriteCatalogue();
  server_.Misbehave(release_.PathOf("busy.bin"), Behaviour{.status = 503, .retry_after = "120"});
  NewRun();
  RunEngine& run = *engine_;
  run.Start();
  const std::string waiting = "Retrying in 120 s: attempt 1 of 11 failed (HTTP status 503)";
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (StatusText(0) != waiting && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(StatusText(0), waiting);
  // A wait that ignored Cancel would keep this from returning for two minutes.
  run.WaitForWorkers({});
  EXPECT_FALSE(run.WorkersRunning());
  EXPECT_EQ(server_.Requests(release_.PathOf("busy.bin")), 1);
  EXPECT_TRUE(prompt_.Texts().empty());
}

TEST_F(RunEngineTest, CancelInMidDownloadLeavesNoUnfinishedFileAndALaterRunCompletes) {
  release_.Add("first.bin", RandomBytes(10000, 11));
  release_.Add("big.bin", RandomBytes(400 * 1024, 12));
  WriteCatalogue();
  server_.Misbehave(release_.PathOf("big.bin"), Behaviour{.trickle = std::chrono::milliseconds(5)});

  NewRun();
  RunEngine& run = *engine_;
  run.Start();
  // Wait until the big file is on its way and the first one, fetched
  // beside it, is verified.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto ready = [&] {
    return StatusText(1).find("% downloaded") != std::string::npos &&
           run.table().Row(0).state == JobState::Verified;
  };
  while (!ready() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(ready());
  int kept_alive = 0;
  run.WaitForWorkers([&] { ++kept_alive; });
  EXPECT_GT(kept_alive, 0);
  EXPECT_FALSE(run.WorkersRunning());
  EXPECT_FALSE(fs::exists(download_dir_.path() / "big.bin"));
  EXPECT_FALSE(fs::exists(download_dir_.path() / "big.bin.part"));
  EXPECT_EQ(run.table().Row(1).state, JobState::PendingDownload);

  // A tick after the abort turns Cancel into Quit and stops; the face then
  // shows the continue-later message.
  const TickReport report = run.Tick();
  EXPECT_TRUE(report.aborted);
  EXPECT_TRUE(report.quit_button);
  EXPECT_FALSE(report.keep_ticking);
  EXPECT_TRUE(prompt_.Texts().empty());
  run.ShowContinueLaterMessage();
  EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kContinueLaterMessage}));

  server_.Behave(release_.PathOf("big.bin"));
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_EQ(OnDisk("big.bin"), release_.Content("big.bin"));
  EXPECT_EQ(server_.Requests(release_.PathOf("first.bin")), 1);  // kept from the first run
}

TEST_F(RunEngineTest, CancelledDownloadIsResumedByTheNextRunAndVerified) {
  release_.Add("big.bin", RandomBytes(400 * 1024, 22));
  WriteCatalogue();
  const std::string path = release_.PathOf("big.bin");
  server_.Misbehave(path, Behaviour{.trickle = std::chrono::milliseconds(5), .etag = "\"v1\""});
  NewRun();
  RunEngine& run = *engine_;
  run.Start();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (engine_->table().Row(0).status.percent < 10 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.WaitForWorkers({});
  const std::string partial = engine_->catalogue().Entry(0).partial_name;
  ASSERT_TRUE(fs::exists(download_dir_.path() / partial));
  const uintmax_t kept = fs::file_size(download_dir_.path() / partial);
  ASSERT_GT(kept, 0u);

  server_.Misbehave(path, Behaviour{.etag = "\"v1\""});
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(server_.LastRange(path), "bytes=" + std::to_string(kept) + "-");
  EXPECT_EQ(OnDisk("big.bin"), release_.Content("big.bin"));
  EXPECT_FALSE(fs::exists(download_dir_.path() / partial));
  EXPECT_FALSE(fs::exists(download_dir_.path() / (partial + ".validator")));
}

TEST_F(RunEngineTest, DiskSpaceRefusalQuitsAndBothWorkersAreJoined) {
  release_.Add("f.bin", RandomBytes(3000, 13));
  WriteCatalogue();
  free_space_.Set(1000);
  prompt_.Push(PromptAnswer::kCancel);
  NewRun();
  RunFlags& flags = *flags_;
  ASSERT_EQ(Drive(), RunEnd::kQuit);
  EXPECT_TRUE(flags.download_worker_done && flags.verification_worker_done);
  ASSERT_EQ(prompt_.Count(), 1u);
  EXPECT_EQ(prompt_.Asked()[0].icon, PromptIcon::kStop);
  EXPECT_NE(prompt_.Texts()[0].find("If you click Cancel, the program will be aborted."),
            std::string::npos);
  EXPECT_EQ(FileRequests(), 0);
}

TEST_F(RunEngineTest, FileThatKeepsFailingItsCheckIsNotFetchedForever) {
  release_.Add("bad.bin", RandomBytes(5000, 14));
  WriteCatalogue();
  server_.Serve(release_.PathOf("bad.bin"), RandomBytes(5000, 15));  // right size, wrong bytes
  prompt_.Push(PromptAnswer::kRetry);
  prompt_.Push(PromptAnswer::kCancel);
  std::vector<int> requests_when_asked;
  prompt_.SetOnAsk([&](const std::string& text) {
    if (text == kContinueLaterMessage) return;
    requests_when_asked.push_back(server_.Requests(release_.PathOf("bad.bin")));
  });
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kClosed);
  // The question says the file came but did not match.
  const std::string message =
      DownloadFailureMessage(release_.BaseUrl() + "1.0/bad.bin", "help@example.test") +
      "\nthe file arrived 3 times but did not match the catalogue";
  EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{message, message, kContinueLaterMessage}));
  EXPECT_EQ(requests_when_asked, (std::vector<int>{3, 6}));
}

TEST_F(RunEngineTest, SeveralDownloadsRunAtOnceAndAFailingRowHoldsUpNoOther) {
  release_.Add("a.bin", RandomBytes(20000, 40));
  release_.Add("gone.bin", RandomBytes(20000, 41));
  for (int i = 0; i < 6; ++i) release_.Add("f" + std::to_string(i), RandomBytes(20000, 42 + i));
  WriteCatalogue();
  server_.Remove(release_.PathOf("gone.bin"));
  // Held until three requests are under way together: one at a time would
  // wait out the limit and leave the count at one.
  server_.HoldFirstRequests(3, std::chrono::seconds(20));
  int verified_when_asked = -1;
  prompt_.SetOnAsk([&](const std::string& text) {
    if (text == kContinueLaterMessage) return;
    const std::vector<JobState> states = States();
    verified_when_asked =
        static_cast<int>(std::count(states.begin(), states.end(), JobState::Verified));
  });
  prompt_.Push(PromptAnswer::kCancel);
  config_.connections = 4;
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kClosed);

  EXPECT_GE(server_.MostHeldAtOnce(), 3);
  // The failing row waited between its attempts while the others went on:
  // all seven were verified before its 11th failure asked.
  EXPECT_EQ(verified_when_asked, 7);
  ASSERT_EQ(prompt_.Count(), 2u);
  EXPECT_EQ(prompt_.Texts()[1], kContinueLaterMessage);
  EXPECT_EQ(prompt_.Texts()[0],
            DownloadFailureMessage(release_.BaseUrl() + "1.0/gone.bin", "help@example.test") +
                "\nHTTP status 404");
  EXPECT_EQ(engine_->table().Row(1).state, JobState::PendingDownload);
  EXPECT_FALSE(fs::exists(download_dir_.path() / "gone.bin"));
  for (const std::string name : {"a.bin", "f0", "f5"}) {
    EXPECT_EQ(OnDisk(name), release_.Content(name)) << name;
    EXPECT_EQ(server_.Requests(release_.PathOf(name)), 1) << name;
  }
}

TEST_F(RunEngineTest, DiskSpaceCheckCountsWhatTheRunningDownloadsStillNeed) {
  // Three files that take over a second each: while the first two come in,
  // the third needs room for itself and for the rest of both.
  constexpr size_t kSize = 24 * 1024;
  for (const std::string name : {"x.bin", "y.bin", "z.bin"}) {
    release_.Add(name, RandomBytes(kSize, name[0]));
    server_.Misbehave(release_.PathOf(name), Behaviour{.trickle = std::chrono::milliseconds(50)});
  }
  WriteCatalogue();
  free_space_.Set(60 * 1024);  // room for two files at once, not three
  prompt_.SetOnAsk([&](const std::string&) { free_space_.Set(UINT64_MAX / 2); });
  prompt_.Push(PromptAnswer::kRetry);
  config_.connections = 3;
  NewRun();
  // Each file is a trickle of 1 KiB every 50 ms: under a sanitizer on a
  // loaded machine a pause of the test server's thread could pass the
  // harness's 1 s stall time and fetch a file twice. Stalls are not what
  // this test is about.
  config_.stall_timeout = std::chrono::seconds(10);
  ASSERT_EQ(Drive(), RunEnd::kFinished);

  ASSERT_EQ(prompt_.Count(), 1u);
  EXPECT_EQ(prompt_.Asked()[0].icon, PromptIcon::kStop);
  EXPECT_EQ(prompt_.Texts()[0].rfind("There is not enough space on the \"/test-drive\" drive", 0),
            0u);
  EXPECT_TRUE(AllVerified());
  std::string seen;  // what the rows said: why a file came twice, if one did
  for (const std::string& text : face_.row_texts) seen += "\n  " + text;
  EXPECT_EQ(FileRequests(), 3) << "rows said:" << seen;
}

TEST_F(RunEngineTest, InstallerRowOutcomes) {
  release_.Add("Install.exe", RandomBytes(100, 16));
  WriteCatalogue();
  // A failed start says why when the system said it, as for a declined
  // request for administrator rights.
  struct Outcome {
    bool starts;
    std::string failure;
    std::string text;
  };
  const std::string declined = "the request for administrator rights was declined";
  for (const auto& [starts, failure, text] :
       {Outcome{true, "", kInstallerStarted}, Outcome{false, "", kInstallerFailed},
        Outcome{false, declined, "Installer Failed! (" + declined + ")"}}) {
    SCOPED_TRACE(text);
    launcher_.Reset(starts, failure);
    std::vector<std::string> texts;
    std::mutex texts_mutex;  // the listener runs on whichever thread made the change
    NewRun(/*install=*/true);
    engine_->table().SetChangeListener([&](int) {
      const JobTable& table = engine_->table();
      if (table.RowCount() < 2) return;
      const std::string status = RowText(table.Row(1).status);
      std::lock_guard lock(texts_mutex);
      if (texts.empty() || texts.back() != status) texts.push_back(status);
    });
    ASSERT_EQ(Drive(), RunEnd::kFinished);
    engine_->WaitForWorkers({});  // no listener call is under way after this
    engine_->table().SetChangeListener({});
    EXPECT_EQ(launcher_.Started(), (std::vector<std::string>{Folder() + "Install.exe"}));
    const JobRow row = engine_->table().Row(1);
    EXPECT_EQ(row.name, "Start Install.exe");
    EXPECT_EQ(row.state, JobState::InstallerRow);
    EXPECT_EQ(RowText(row.status), text);
    EXPECT_EQ(row.image, starts ? RowImage::kDone : RowImage::kIdle);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], kStartingInstaller);
    EXPECT_EQ(engine_->table().StatusLine(), kAllDone);
    EXPECT_EQ(engine_->Succeeded(), starts);
  }
}

TEST_F(RunEngineTest, AnInstallerTheReleaseDoesNotListIsNeverStarted) {
  // Install.exe lies in the folder, but the catalogue names only a data file.
  release_.Add("f.bin", RandomBytes(100, 18));
  WriteCatalogue();
  download_dir_.Write("Install.exe", "#!/bin/sh\necho left by someone\n");
  launcher_.Reset(true);
  NewRun(/*install=*/true);
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(launcher_.Started().empty());
  EXPECT_EQ(StatusText(1), kInstallerNotInRelease);
  EXPECT_EQ(engine_->table().Row(1).image, RowImage::kIdle);
  // The run ends as a failed start ends it.
  EXPECT_EQ(engine_->table().StatusLine(), kAllDone);
  EXPECT_FALSE(engine_->Succeeded());
}

// A launcher whose every start waits until the test lets it go.
class HeldLauncher final : public InstallerLauncher {
 public:
  InstallerStart Start(const std::string&, const std::string&) override {
    std::unique_lock lock(mutex_);
    ++starts_;
    changed_.notify_all();
    // The bound only keeps a run that waits on its own thread from hanging
    // the test for ever.
    changed_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
    return {true};
  }
  bool WaitForStart() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return starts_ > 0; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  int Starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int starts_ = 0;
  bool released_ = false;
};

TEST_F(RunEngineTest, TheInstallerStartsOffTheFacesThreadAndTheRunEndsWhenItReturns) {
  release_.Add("Install.exe", RandomBytes(100, 17));
  WriteCatalogue();
  HeldLauncher held;
  RunEngine& run = NewRun(/*install=*/true, &held);
  run.Start();
  TickReport report;
  // Ticks until every file is verified and the installer's start is asked for.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!report.installer_starting && std::chrono::steady_clock::now() < deadline) {
    report = run.Tick();
    ASSERT_FALSE(report.finished) << "the tick waited for the installer's start";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(report.installer_starting);
  ASSERT_TRUE(held.WaitForStart());

  // While the start is under way, ticks come and go and the run goes on.
  for (int i = 0; i < 3; ++i) {
    report = run.Tick();
    EXPECT_TRUE(report.installer_starting);
    EXPECT_FALSE(report.finished);
    EXPECT_TRUE(report.keep_ticking);
  }
  EXPECT_EQ(StatusText(1), kStartingInstaller);
  EXPECT_EQ(run.table().Row(1).image, RowImage::kBusy);
  EXPECT_NE(run.table().StatusLine(), kAllDone);
  EXPECT_FALSE(run.Finished());

  held.Release();
  while (!report.finished && std::chrono::steady_clock::now() < deadline) {
    report = run.Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(report.finished);
  EXPECT_FALSE(report.keep_ticking);
  EXPECT_EQ(StatusText(1), kInstallerStarted);
  EXPECT_EQ(run.table().StatusLine(), kAllDone);
  EXPECT_TRUE(run.Succeeded());
  EXPECT_EQ(held.Starts(), 1);
}

TEST_F(RunEngineTest, RealInstallerScriptIsStartedInTheDownloadFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "Install.exe must be a Windows program there; the launcher's start in the "
                  "download folder is tested with a batch file in the platform tests";
#endif
  release_.Add("Install.exe", "#!/bin/sh\npwd > started.tmp && mv started.tmp started.txt\n");
  WriteCatalogue();
  SystemInstallerLauncher real;
  NewRun(/*install=*/true, &real);
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_EQ(StatusText(1), kInstallerStarted);
  // The script renames its marker into place once written, so it is whole here.
  const auto marker = download_dir_.path() / "started.txt";
  for (int i = 0; i < 500 && !fs::exists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string started_in = download_dir_.Read("started.txt");
  while (!started_in.empty() && started_in.back() == '\n') started_in.pop_back();
  EXPECT_EQ(fs::canonical(started_in), fs::canonical(download_dir_.path()));
}

// A catalogue without file rows is no release: the run says so and ends
// aborted instead of reporting "All Done." over nothing.
TEST_F(RunEngineTest, AnEmptyCatalogueEndsTheRunAsAFailure) {
  WriteCatalogue();
  launcher_.Reset(true);
  NewRun(/*install=*/true);
  ASSERT_EQ(Drive(std::chrono::seconds(30)), RunEnd::kAborted);
  EXPECT_EQ(engine_->table().RowCount(), 0);
  EXPECT_EQ(engine_->table().StatusLine(), kCatalogueErrorLine);
  EXPECT_FALSE(engine_->Succeeded());
  EXPECT_TRUE(launcher_.Started().empty());
  ASSERT_FALSE(prompt_.Texts().empty());
  EXPECT_EQ(prompt_.Texts()[0], "FileList.txt is not a catalogue: no file rows");
}

// FileList.txt was removed, or changed into a malformed one, between the
// setup step and the run: the run ends on its first tick instead of waiting
// for Cancel, and reports itself aborted.
TEST_F(RunEngineTest, ACatalogueThatCannotBeLoadedAgainEndsTheRun) {
  NewRun(/*install=*/true);  // no FileList.txt at all
  ASSERT_EQ(Drive(std::chrono::seconds(30)), RunEnd::kAborted);
  EXPECT_EQ(engine_->table().RowCount(), 0);
  EXPECT_EQ(engine_->table().StatusLine(), kCatalogueErrorLine);
  EXPECT_EQ(face_.last.button, kQuitButton);
  EXPECT_EQ(face_.last.phase, RunPhase::kAborted);
  EXPECT_FALSE(engine_->Succeeded());
  EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kContinueLaterMessage}));
  engine_->WaitForWorkers({});
  EXPECT_FALSE(engine_->WorkersRunning());

  work_dir_.Write("FileList.txt", "1.0\n0\nno separators here\n");
  NewRun(/*install=*/true);
  // The abort flag is set only after the message was closed.
  std::vector<bool> abort_when_asked;
  prompt_.SetOnAsk([&](const std::string&) { abort_when_asked.push_back(flags_->abort.load()); });
  ASSERT_EQ(Drive(std::chrono::seconds(30)), RunEnd::kAborted);
  EXPECT_EQ(engine_->table().StatusLine(), kCatalogueErrorLine);
  EXPECT_EQ(engine_->table().RowCount(), 0);
  const std::vector<std::string> texts = prompt_.Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[1], "Error in line 3 in FileList.txt! Couldn't find checksum-separator!");
  EXPECT_EQ(texts[2], kContinueLaterMessage);
  EXPECT_EQ(abort_when_asked, (std::vector<bool>{false, true}));
  EXPECT_TRUE(launcher_.Started().empty());
}

TEST_F(RunEngineTest, StartStoresTheFolderInTheSettingsFile) {
  release_.Add("x", "y");
  WriteCatalogue();
  NewRun();
  engine_->Start();
  Settings loaded;
  ASSERT_TRUE(loaded.Load(SettingsFile()));
  EXPECT_EQ(loaded.StoredFolder(), Folder());
  EXPECT_EQ(engine_->LocationLine(),
            "Download-location is \"" + Folder() + "\"\nInstall after downloading: No");
}

TEST_F(RunEngineTest, SecondRunReadsTheFolderBackFromTheSettingsFileAndFetchesNothing) {
  AddStandardRelease();
  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  engine_->WaitForWorkers({});
  const int fetched = FileRequests();

  // A new process: fresh settings and catalogue; the setup step proposes
  // the folder the first run stored.
  Settings settings;
  std::atomic<bool> abort{false};
  Catalogue catalogue;
  TransferCallback callback(abort);
  class NoPicker final : public FolderPicker {
    std::optional<std::string> PickFolder(const std::string&) override { return std::nullopt; }
  } picker;
  SessionConfig setup_config = config_;
  setup_config.default_folder = "/nowhere/PellixInstall/";
  SetupFlow flow(SetupServices{.catalogue = catalogue,
                               .abort = abort,
                               .settings = settings,
                               .callback = callback,
                               .prompt = prompt_,
                               .free_space = free_space_,
                               .picker = picker,
                               .download = nullptr,
                               .config = setup_config,
                               .temp_folder = work_dir_.Folder()});
  flow.Initialise();
  ASSERT_EQ(flow.State().location, Folder());

  NewRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(FileRequests(), fetched);
}

TEST(RunEngineRules, FirstUnfinishedRowCountsCheckDoneAsUnfinished) {
  JobTable table;
  for (int i = 0; i < 5; ++i) table.InsertRow("r");
  table.SetState(0, JobState::Verified);
  table.SetState(1, JobState::Verified);
  table.SetState(2, JobState::CheckDone);
  table.SetState(3, JobState::PendingCheck);
  table.SetState(4, JobState::InstallerRow);
  EXPECT_EQ(RunEngine::FirstUnfinishedRow(table), 2);
  table.SetState(2, JobState::Verified);
  EXPECT_EQ(RunEngine::FirstUnfinishedRow(table), 3);
  table.SetState(3, JobState::Verified);
  EXPECT_EQ(RunEngine::FirstUnfinishedRow(table), -1);
}

}  // namespace
}  // namespace brenvik::test
