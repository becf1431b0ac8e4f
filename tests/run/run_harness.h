#pragma once
// Drives a RunController the way a face does: a tick every few
// milliseconds, the abort wait on a close request, destruction on a quit
// request. Shared by the run engine's integration tests.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "run/run_controller.h"
#include "run/run_flags.h"
#include "support/release_fixture.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "transfer/transfer_callback.h"

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

  // A fresh controller over fresh flags and a fresh catalogue, as a new
  // process would have.
  RunController& NewRun(bool install = false, InstallerLauncher* launcher = nullptr) {
    controller_.reset();
    flags_ = std::make_unique<RunFlags>();
    callback_ = std::make_unique<TransferCallback>(flags_->abort);
    catalogue_ = std::make_unique<Catalogue>(flags_->abort);
    controller_ = std::make_unique<RunController>(
        RunServices{
            .catalogue = *catalogue_,
            .settings = settings_,
            .flags = *flags_,
            .callback = *callback_,
            .prompt = prompt_,
            .free_space = free_space_,
            .launcher = launcher ? *launcher : launcher_,
            .base_url = release_.BaseUrl(),
            .catalogue_file = CatalogueFile(),
            .settings_file = SettingsFile(),
            .support_contact = "help@example.test",
            .pause = std::chrono::milliseconds(20),
            .stall_timeout = std::chrono::seconds(1),
        },
        Folder(), install);
    return *controller_;
  }

  // Ticks until the run finishes, aborts or a worker asks to end it; a
  // close request runs the abort wait as the faces do.
  RunEnd Drive(std::chrono::seconds limit = std::chrono::seconds(60)) {
    RunController& run = *controller_;
    const auto end = std::chrono::steady_clock::now() + limit;
    std::time_t now = 100;
    run.Start(now);
    std::string title = "Caption";
    while (std::chrono::steady_clock::now() < end) {
      switch (run.PendingRequest()) {
        case RunRequest::kClose:
          run.WaitForWorkers({});
          return RunEnd::kClosed;
        case RunRequest::kQuit:
          controller_.reset();  // no abort wait: the controller's end stops the workers
          return RunEnd::kQuit;
        case RunRequest::kNone:
          break;
      }
      const TickReport report = run.Tick(++now, title);
      title = report.title;
      last_report_ = report;
      if (report.finished) return RunEnd::kFinished;
      if (report.aborted) {
        run.ShowContinueLaterMessage();
        return RunEnd::kAborted;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return RunEnd::kTimedOut;
  }

  // Every catalogue row's state.
  std::vector<JobState> States() const { return controller_->table().States(); }
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

  HttpServer server_;
  Release release_;
  TempDir work_dir_;
  TempDir download_dir_;
  ScriptedPrompt prompt_;
  FakeFreeSpace free_space_;
  FakeLauncher launcher_;
  Settings settings_;
  std::unique_ptr<RunFlags> flags_;
  std::unique_ptr<TransferCallback> callback_;
  std::unique_ptr<Catalogue> catalogue_;
  std::unique_ptr<RunController> controller_;
  TickReport last_report_;
};

}  // namespace brenvik::test
