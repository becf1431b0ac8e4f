#include "run/run_controller.h"

#include <strings.h>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "platform/installer.h"
#include "platform/prompt.h"
#include "run/download_worker.h"
#include "run/run_flags.h"
#include "run/verification_worker.h"
#include "texts/run_texts.h"
#include "transfer/transfer_callback.h"

namespace brenvik {

RunController::RunController(RunServices services, std::string download_folder,
                             bool install_after_download)
    : services_(std::move(services)),
      download_folder_(std::move(download_folder)),
      install_(install_after_download),
      statistics_(table_, services_.catalogue, services_.callback) {}

RunController::~RunController() { StopWorkers(); }

void RunController::SetRequestHandler(std::function<void(RunRequest)> handler) {
  request_handler_ = std::move(handler);
}

std::string RunController::LocationLine() const {
  return Format(kLocationFormat, download_folder_.c_str(), install_ ? "Yes" : "No");
}

uint64_t RunController::TotalBytes() const { return services_.catalogue.Total(); }

void RunController::Start(std::time_t now) {
  services_.callback.Attach(&statistics_);
  services_.catalogue.SetDownloadFolder(download_folder_);
  filled_ = FillJobTable();
  // Without its catalogue the run cannot go on, and waiting for Cancel
  // would only hide that: the workers stop at once and the first tick ends
  // the run as aborted, as a malformed row does in the catalogue itself.
  if (!filled_) services_.flags.abort.store(true);

  // The folder is remembered (and created) before anything is fetched into it.
  services_.settings.SetStoredFolder(download_folder_);
  (void)services_.settings.Save(services_.settings_file);

  context_.emplace(RunContext{
      .table = table_,
      .catalogue = services_.catalogue,
      .flags = services_.flags,
      .callback = services_.callback,
      .statistics = statistics_,
      .prompt = services_.prompt,
      .free_space = services_.free_space,
      .file_url_prefix = services_.base_url + services_.catalogue.Version() + "/",
      .download_folder = download_folder_,
      .support_contact = services_.support_contact,
      .pause = services_.pause,
      .stall_timeout = services_.stall_timeout,
      .post_request =
          [this](RunRequest request) {
            pending_request_.store(request);
            if (request_handler_) request_handler_(request);
          },
  });
  download_worker_ = std::jthread(RunDownloadWorker, std::ref(*context_));
  verification_worker_ = std::jthread(RunVerificationWorker, std::ref(*context_));

  run_start_ = now;
  statistics_.SetRunStart(now);
}

bool RunController::FillJobTable() {
  if (!services_.catalogue.Load(services_.prompt, services_.catalogue_file)) {
    table_.SetStatusLine(kCatalogueErrorLine);
    return false;
  }
  for (int i = 0; i < services_.catalogue.RowCount(); ++i) {
    const int row = table_.InsertRow(services_.catalogue.Name(i));
    table_.SetStatus(row, kPendingRowText);
    table_.SetState(row, JobState::PendingCheck);
  }
  if (install_) {
    const int row = table_.InsertRow(kInstallerRowName);
    table_.SetStatus(row, kPendingInstallText);
    table_.SetState(row, JobState::InstallerRow);
  }
  return true;
}

int RunController::FirstUnfinishedRow(const JobTable& table) {
  // CheckDone counts as unfinished: a failed check passes through it before
  // its verdict, and that moment must not end the run.
  const std::vector<JobState> states = table.States();
  for (size_t i = 0; i < states.size(); ++i) {
    if (static_cast<uint32_t>(states[i]) < static_cast<uint32_t>(JobState::Verified)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::string RunController::TitleWithElapsed(const std::string& title, std::time_t elapsed) {
  std::string base = title;
  if (const size_t dash = base.find('-'); dash != std::string::npos) {
    base.resize(dash == 0 ? 0 : dash - 1);
  }
  const long long seconds = elapsed < 0 ? 0 : static_cast<long long>(elapsed);
  return base +
         Format(" - %02lld:%02lld:%02lld", seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
}

TickReport RunController::Tick(std::time_t now, const std::string& title) {
  TickReport report;
  report.title = TitleWithElapsed(title, now - run_start_);
  report.total_bytes = services_.catalogue.Total();
  report.verified_bytes = ProgressStatistics::VerifiedBytes(table_, services_.catalogue);
  report.quit_button = finished_ || aborted_;

  if (services_.flags.abort.load()) {
    aborted_ = true;
    report.aborted = true;
    report.quit_button = true;
    report.keep_ticking = false;
    return report;
  }

  report.follow_row = FirstUnfinishedRow(table_);
  if (report.follow_row >= 0 || !filled_ || finished_) return report;
  if (install_ && !InstallerStartReturned()) {
    report.installer_starting = true;
    return report;
  }
  statistics_.Freeze();
  table_.SetStatusLine(kAllDone);
  finished_ = true;
  succeeded_ = !install_ || installer_started_.load();
  report.finished = true;
  report.quit_button = true;
  report.keep_ticking = false;
  return report;
}

void RunController::ShowContinueLaterMessage() {
  services_.prompt.Ask(kContinueLaterMessage, PromptButtons::kOk, PromptIcon::kNone);
}

bool RunController::InstallerStartReturned() {
  const int row = table_.RowCount() - 1;
  if (!installer_launched_) {
    installer_launched_ = true;
    table_.SetStatusAndImage(row, kStartingInstaller, RowImage::kBusy);
    // Starting a document waits for the desktop's opener, which may take
    // seconds; the face's thread must stay free meanwhile.
    installer_thread_ = std::jthread([this] {
      installer_started_.store(
          services_.launcher.Start(download_folder_ + kInstallerName, download_folder_));
      installer_returned_.store(true);
    });
    return false;
  }
  if (!installer_returned_.load()) return false;
  // The tick that sees the start return ends the run, so this runs once.
  if (installer_started_.load()) {
    table_.SetStatusAndImage(row, kInstallerStarted, RowImage::kDone);
  } else {
    table_.SetStatusAndImage(row, kInstallerFailed, RowImage::kIdle);
  }
  return true;
}

bool RunController::WorkersRunning() const {
  return (download_worker_.joinable() && !services_.flags.download_worker_done.load()) ||
         (verification_worker_.joinable() && !services_.flags.verification_worker_done.load());
}

void RunController::WaitForWorkers(const std::function<void()>& keep_alive) {
  services_.flags.abort.store(true);
  download_worker_.request_stop();
  verification_worker_.request_stop();
  // The workers may be waiting for the face (a question on its thread), so
  // the face keeps running until both have set their done flags.
  while (WorkersRunning()) {
    if (keep_alive) keep_alive();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  StopWorkers();
}

void RunController::StopWorkers() {
  services_.flags.abort.store(true);
  if (download_worker_.joinable()) {
    download_worker_.request_stop();
    download_worker_.join();
  }
  if (verification_worker_.joinable()) {
    verification_worker_.request_stop();
    verification_worker_.join();
  }
  // The callback must not reach the statistics of a run that is gone.
  if (services_.callback.Attached() == &statistics_) services_.callback.Attach(nullptr);
}

}  // namespace brenvik
