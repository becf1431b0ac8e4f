#pragma once
// Drives a RunEngine the way a face does: a poll every few milliseconds
// on a clock of the test's own (a second further each poll), the workers'
// questions answered through the scripted prompt, the abort wait on a close
// request, destruction on a quit request. Shared by the run engine's
// integration tests.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "run/run_engine.h"
#include "run/run_flags.h"
#include "support/release_fixture.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "texts/row_text.h"

namespace brenvik::test {

enum class RunEnd { kFinished, kAborted, kClosed, kQuit, kTimedOut };

class RunHarness : public ::testing::Test {
 protected:
  RunHarness() : release_(server_) {}

  std::string Folder() const { return download_dir_.Folder(); }
  std::filesystem::path CatalogueFile() const { return work_dir_.path() / "FileList.txt"; }
  std::filesystem::path SettingsFile() const { return work_dir_.path() / "OrvBrenvik.ini"; }

  // Writes the release's catalogue where the run reads it.
  void WriteCatalogue() { work_dir_.Write("FileList.txt", release_.CatalogueText()); }

  // A fresh engine over fresh flags and a fresh catalogue, as a new
  // process would have.
  RunEngine& NewRun(bool install = false, InstallerLauncher* launcher = nullptr) {
    engine_.reset();
    config_.base_url = release_.BaseUrl();
    config_.catalogue_file = CatalogueFile();
    config_.settings_file = SettingsFile();
    config_.support_contact = "help@example.test";
    config_.pause = std::chrono::milliseconds(20);
    config_.stall_timeout = std::chrono::seconds(1);
    flags_ = std::make_unique<RunFlags>();
    catalogue_ = std::make_unique<Catalogue>();
    engine_ = std::make_unique<RunEngine>(
        RunServices{
            .catalogue = *catalogue_,
            .settings = settings_,
            .flags = *flags_,
            .prompt = prompt_,
            .free_space = free_space_,
            .launcher = launcher ? *launcher : launcher_,
            .config = config_,
        },
        Folder(), install, [this] { return std::chrono::milliseconds(now_ms_.load()); });
    return *engine_;
  }

  // Ticks until the run finishes, aborts or a worker asks to end it; a
  // close request runs the abort wait as the faces do.
  RunEnd Drive(std::chrono::seconds limit = std::chrono::seconds(60)) {
    RunEngine& run = *engine_;
    const auto end = std::chrono::steady_clock::now() + limit;
    run.Start();
    std::string title = "Caption";
    while (std::chrono::steady_clock::now() < end) {
      now_ms_ += 1000;
      const RunSnapshot snapshot = run.Poll(title);
      if (snapshot.question) Answer(*snapshot.question);
      switch (snapshot.request) {
        case RunRequest::kClose:
          run.WaitForWorkers({});
          return RunEnd::kClosed;
        case RunRequest::kQuit:
          engine_.reset();  // no abort wait: the engine's end stops the workers
          return RunEnd::kQuit;
        case RunRequest::kNone:
          break;
      }
      if (snapshot.tick) {
        const TickReport& report = *snapshot.tick;
        title = report.title;
        last_report_ = report;
        if (report.finished) return RunEnd::kFinished;
        if (report.aborted) {
          run.ShowContinueLaterMessage();
          return RunEnd::kAborted;
        }
      }
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
  std::unique_ptr<Catalogue> catalogue_;
  std::unique_ptr<RunEngine> engine_;
  TickReport last_report_;
  // The test's clock, read by the workers too (the statistics ask it).
  std::atomic<std::chrono::milliseconds::rep> now_ms_{100'000};
};

}  // namespace brenvik::test
