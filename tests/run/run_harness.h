#pragma once
// Drives a RunEngine through the run driver, as every face does: a poll
// every few milliseconds on a clock of the test's own (a second further
// each poll), the workers' questions answered through the scripted prompt,
// the views kept. Shared by the run engine's integration tests.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "run/run_driver.h"
#include "run/run_engine.h"
#include "run/run_flags.h"
#include "support/release_fixture.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "texts/row_text.h"

namespace brenvik::test {

enum class RunEnd { kFinished, kAborted, kClosed, kQuit, kTimedOut };

// A face that keeps what the driver shows it.
class RecordingFace final : public RunFace {
 public:
  void Show(RunView view) override {
    if (view.aborting && !first_aborting) first_aborting = view;
    for (const auto& [row, shown] : view.rows.rows) row_texts.insert(RowText(shown.status));
    last = view;
    ++shown;
  }
  void KeepAlive() override { ++kept_alive; }
  void Close(RunClose how) override { closed = how; }

  RunView last;
  std::optional<RunView> first_aborting;  // the abort wait's first view
  int shown = 0;
  int kept_alive = 0;
  std::optional<RunClose> closed;
  std::set<std::string> row_texts;  // every row text a view brought
};

class RunHarness : public ::testing::Test {
 protected:
  RunHarness() : release_(server_) {}

  std::string Folder() const { return download_dir_.Folder(); }
  std::filesystem::path CatalogueFile() const { return work_dir_.path() / "FileList.txt"; }
  std::filesystem::path SettingsFile() const { return work_dir_.path() / "OrvBrenvik.ini"; }

  // Writes the release's catalogue where the run reads it.
  void WriteCatalogue() { work_dir_.Write("FileList.txt", release_.CatalogueText()); }

  // A fresh engine over fresh flags and an empty catalogue, as a new
  // process would have.
  RunEngine& NewRun(bool install = false, InstallerLauncher* launcher = nullptr) {
    driver_.reset();
    engine_.reset();
    config_.base_url = release_.BaseUrl();
    config_.catalogue_file = CatalogueFile();
    config_.settings_file = SettingsFile();
    config_.support_contact = "help@example.test";
    config_.pause = std::chrono::milliseconds(20);
    config_.stall_timeout = std::chrono::seconds(1);
    flags_ = std::make_unique<RunFlags>();
    engine_ = std::make_unique<RunEngine>(
        RunServices{
            .catalogue = Catalogue(),
            .settings = settings_,
            .flags = *flags_,
            .prompt = prompt_,
            .free_space = free_space_,
            .launcher = launcher ? *launcher : launcher_,
            .config = config_,
        },
        Folder(), install, [this] { return std::chrono::milliseconds(now_ms_.load()); });
    face_ = RecordingFace();
    driver_ = std::make_unique<RunDriver>(*engine_, prompt_, face_);
    return *engine_;
  }

  // Polls until the run finishes or is aborted (the driver has shown the
  // continue-later message then) or the driver closes the face: after the
  // abort wait on a close request, at once on a quit request (the engine
  // then goes, as the program would end).
  RunEnd Drive(std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    driver_->Start();
    while (std::chrono::steady_clock::now() < end) {
      now_ms_ += 1000;
      driver_->Poll();
      if (face_.closed == RunClose::kQuit) {
        driver_.reset();
        engine_.reset();  // no abort wait: the engine's end stops the workers
        return RunEnd::kQuit;
      }
      if (face_.closed) return RunEnd::kClosed;
      if (face_.last.phase == RunPhase::kFinished) return RunEnd::kFinished;
      if (face_.last.phase == RunPhase::kAborted) return RunEnd::kAborted;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return RunEnd::kTimedOut;
  }

  // Answers a worker's question as the user would, through the scripted prompt.
  void Answer(const Question& question) {
    engine_->Answer(question.id, prompt_.Ask(question.text, question.buttons, question.icon));
  }

  // Every catalogue row's state.
  std::vector<JobState> States() const { return engine_->table().States(); }
  bool AllVerified() const {
    for (JobState s : States()) {
      if (s != JobState::Verified && s != JobState::InstallerRow) return false;
    }
    return !States().empty();
  }
  // Requests for release files (not the catalogue).
  int FileRequests() const {
    int total = 0;
    for (const auto& [name, content] : release_.Files())
      total += server_.Requests(release_.PathOf(name));
    return total;
  }
  std::string OnDisk(const std::string& name) const { return download_dir_.Read(name); }
  // The text row `row` of the run's table shows.
  std::string StatusText(int row) const { return RowText(engine_->table().Row(row).status); }

  // The seam for which files the check read: from now on (until the next
  // call), notes by name every row whose change shows "Checksumming N %",
  // as the change happens, so no view need catch it.
  void WatchReads() {
    {
      std::lock_guard lock(watched_mutex_);
      watched_.clear();
    }
    engine_->table().SetChangeListener([this](int row) {
      if (row < 0) return;
      const JobRow value = engine_->table().Row(row);
      if (value.status.phase != RowPhase::kChecksumming) return;
      std::lock_guard lock(watched_mutex_);
      watched_.insert(value.name);
    });
  }
  bool WasRead(const std::string& name) {
    std::lock_guard lock(watched_mutex_);
    return watched_.contains(name);
  }

  HttpServer server_;
  Release release_;
  TempDir work_dir_;
  TempDir download_dir_;
  ScriptedPrompt prompt_;
  FakeFreeSpace free_space_;
  FakeLauncher launcher_;
  Settings settings_;
  SessionConfig config_;
  std::unique_ptr<RunFlags> flags_;
  std::unique_ptr<RunEngine> engine_;
  RecordingFace face_;
  std::unique_ptr<RunDriver> driver_;
  // The test's clock, read by the workers too (the statistics ask it).
  std::atomic<std::chrono::milliseconds::rep> now_ms_{100'000};
  std::mutex watched_mutex_;
  std::set<std::string> watched_;  // rows the check was seen reading
};

}  // namespace brenvik::test
