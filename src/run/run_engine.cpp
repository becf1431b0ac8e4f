#include "run/run_engine.h"

#include <algorithm>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "platform/installer.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "platform/utf8_path.h"
#include "run/download_worker.h"
#include "run/run_flags.h"
#include "run/server_pool.h"
#include "run/verification_worker.h"
#include "texts/run_texts.h"
#include "transfer/download_service.h"
#include "transfer/url_text.h"

namespace brenvik {

namespace {

constexpr std::chrono::milliseconds kTickInterval{500};

int64_t Seconds(std::chrono::milliseconds time) {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(time).count());
}

}  // namespace

RunClock SteadyRunClock() {
  return [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  };
}

RunEngine::RunEngine(RunServices services, std::string download_folder, bool install_after_download,
                     RunClock clock)
    : services_(std::move(services)),
      own_hub_(services_.hub != nullptr ? nullptr
                                        : std::make_unique<ConnectionHub>(std::clamp(
                                              services_.config.connections, 1, kMostConnections))),
      hub_(services_.hub != nullptr ? services_.hub : own_hub_.get()),
      download_folder_(std::move(download_folder)),
      install_(install_after_download),
      statistics_(table_, services_.catalogue, [this] { return clock_(); }),
      clock_(std::move(clock)) {
  // A hub of the engine's own takes the limit from the configuration; a
  // session's hub has it already.
  if (own_hub_) own_hub_->Limit().Set(services_.config.max_rate);
  statistics_.ShowLimitOf(&hub_->Limit());
}

RunEngine::~RunEngine() {
  questions_.Close();
  StopWorkers();
}

std::string RunEngine::LocationLine() const {
  return Format(kLocationFormat, download_folder_.c_str(), install_ ? "Yes" : "No");
}

uint64_t RunEngine::TotalBytes() const { return services_.catalogue.Total(); }

bool RunEngine::LockFolder() {
  folder_lock_ = FolderLock::Take(PathFromUtf8(download_folder_));
  if (folder_lock_.State() != FolderLockState::kInUse) return true;
  // Two runs in one folder would take each other's partial files away.
  // Nothing has been read or written in the folder yet, and nothing will be.
  folder_in_use_ = true;
  table_.SetStatusLine(kFolderInUseLine);
  services_.prompt.Ask(Format(kFolderInUseFormat, download_folder_.c_str()), PromptButtons::kOk,
                       PromptIcon::kStop);
  services_.flags.abort.store(true);
  return false;
}

void RunEngine::Start() {
  const std::chrono::milliseconds now = clock_();
  run_start_ = now;
  next_tick_ = now + kTickInterval;
  if (!LockFolder()) return;
  filled_ = FillJobTable();
  // Without its catalogue the run cannot go on, and waiting for Cancel
  // would only hide that: the workers stop at once and the first tick ends
  // the run as aborted, as a malformed row does in the catalogue itself.
  if (!filled_) services_.flags.abort.store(true);

  // The folder is remembered (and created) before anything is fetched into it.
  services_.settings.SetStoredFolder(download_folder_);
  (void)services_.settings.Save(services_.config.settings_file);

  std::vector<std::string> servers{services_.config.base_url};
  servers.insert(servers.end(), services_.config.mirrors.begin(), services_.config.mirrors.end());
  servers.insert(servers.end(), services_.mirrors.begin(), services_.mirrors.end());
  servers_ =
      std::make_unique<ServerPool>(servers, services_.catalogue.Version(),
                                   services_.catalogue.RowCount(), clock_, services_.config.pause);
  context_.emplace(RunContext{
      .table = table_,
      .catalogue = services_.catalogue,
      .flags = services_.flags,
      .statistics = statistics_,
      .prompt = questions_,
      .free_space = services_.free_space,
      .config = services_.config,
      .servers = *servers_,
      .first_service = services_.first_service,
      .hub = *hub_,
      .download_folder = download_folder_,
      .post_request = [this](RunRequest request) { pending_request_.store(request); },
      .clock = clock_,
  });
  const int lanes = std::clamp(services_.config.connections, 1, kMostConnections);
  crew_ = std::make_unique<DownloadCrew>(std::max(lanes, hub_->MostTransfers()), lanes,
                                         services_.flags.abort, table_, statistics_,
                                         services_.catalogue.RowCount());
  statistics_.WatchTransfers(crew_->Callbacks());
  download_workers_.reserve(static_cast<size_t>(crew_->LaneCount()));
  for (int lane = 0; lane < lanes; ++lane) {
    download_workers_.emplace_back(RunDownloadWorker, std::ref(*context_), std::ref(*crew_), lane);
  }
  verification_worker_ = std::jthread(RunVerificationWorker, std::ref(*context_));
  // The catalogue may have come over HTTP/2 already.
  WidenWhenMultiplexing();
  statistics_.SetRunStart(now);
}

bool RunEngine::FillJobTable() {
  // With a publisher key the setup step loaded the catalogue from the very
  // bytes it checked the signature over; reading the file again would let
  // other bytes in, so the run keeps that catalogue.
  CatalogueResult loaded = services_.config.publisher_key.empty()
                               ? LoadCatalogue(services_.config.catalogue_file)
                               : CatalogueResult(services_.catalogue);
  if (const auto* error = std::get_if<CatalogueError>(&loaded)) {
    // The user closes the message before the flag stops anything, so the
    // message is seen before anything else reacts to the failure.
    if (const std::string message = CatalogueErrorMessage(*error); !message.empty()) {
      services_.prompt.Ask(message, PromptButtons::kOk, PromptIcon::kNone);
      services_.flags.abort.store(true);
    }
    services_.catalogue = Catalogue();
    table_.SetStatusLine(kCatalogueErrorLine);
    return false;
  }
  services_.catalogue = std::move(std::get<Catalogue>(loaded));
  for (const CatalogueEntry& entry : services_.catalogue.Entries()) {
    const int row = table_.InsertRow(entry.name);
    table_.SetStatus(row, {RowPhase::kPending});
    table_.SetState(row, JobState::PendingCheck);
  }
  if (install_) {
    const int row = table_.InsertRow(kInstallerRowName);
    table_.SetStatus(row, {RowPhase::kInstallPending});
    table_.SetState(row, JobState::InstallerRow);
  }
  return true;
}

int RunEngine::FirstUnfinishedRow(const JobTable& table) {
  // CheckDone counts as unfinished: a failed check passes through it before
  // its verdict, and that moment must not end the run.
  return table.FirstUnfinished();
}

void RunEngine::WidenWhenMultiplexing() {
  if (widened_ || !crew_ || !hub_->Multiplexing()) return;
  widened_ = true;
  for (int lane = static_cast<int>(download_workers_.size()); lane < crew_->LaneCount(); ++lane) {
    // A crew whose workers have all left (the run is over) takes no more.
    if (!crew_->Join()) break;
    download_workers_.emplace_back(RunDownloadWorker, std::ref(*context_), std::ref(*crew_), lane);
  }
}

RunSnapshot RunEngine::Poll() {
  WidenWhenMultiplexing();
  RunSnapshot snapshot;
  snapshot.question = questions_.Pending();
  snapshot.request = pending_request_.load();
  // A run whose last row has just finished does not wait for the next tick.
  if (const uint64_t states = table_.StateRevision(); states != seen_states_) {
    seen_states_ = states;
    if (FirstUnfinishedRow(table_) < 0) next_tick_ = clock_();
  }
  if (clock_() >= next_tick_) {
    snapshot.tick = Tick();
    // The next tick comes a whole interval after this one.
    next_tick_ = clock_() + kTickInterval;
  }
  return snapshot;
}

void RunEngine::Answer(uint64_t question_id, PromptAnswer answer) {
  questions_.Answer(question_id, answer);
}

TickReport RunEngine::Tick() {
  TickReport report;
  report.elapsed_seconds = Seconds(clock_() - run_start_);
  report.total_bytes = services_.catalogue.Total();
  report.verified_bytes = statistics_.CurrentWork().verified;
  report.quit_button = finished_ || aborted_;

  if (services_.flags.abort.load()) {
    aborted_ = true;
    report.aborted = true;
    report.quit_button = true;
    report.keep_ticking = false;
    return report;
  }

  report.follow_row = FirstUnfinishedRow(table_);
  // The line moves on also while no byte arrives and no file is checked:
  // a stall shows as a falling rate.
  if (filled_ && !finished_) statistics_.UpdateStatistics();
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

void RunEngine::ShowContinueLaterMessage() {
  // This run never began: the other one is the one to continue.
  if (folder_in_use_) return;
  services_.prompt.Ask(kContinueLaterMessage, PromptButtons::kOk, PromptIcon::kNone);
}

bool RunEngine::InstallerStartReturned() {
  const int row = table_.RowCount() - 1;
  if (!installer_launched_) {
    installer_launched_ = true;
    if (!InstallerVerified()) {
      // The run ends as a failed start does: installer_started_ stays false.
      table_.SetStatus(row, {RowPhase::kInstallerNotInRelease});
      return true;
    }
    table_.SetStatus(row, {RowPhase::kInstallerStarting});
    // Starting a document waits for the desktop's opener, which may take
    // seconds; the face's thread must stay free meanwhile.
    installer_thread_ = std::jthread([this] {
      InstallerStart start =
          services_.launcher.Start(download_folder_ + kInstallerName, download_folder_);
      installer_failure_ = std::move(start.failure);
      installer_started_.store(start.started);
      installer_returned_.store(true);
    });
    return false;
  }
  if (!installer_returned_.load()) return false;
  // The tick that sees the start return ends the run, so this runs once.
  if (installer_started_.load()) {
    table_.SetStatus(row, {RowPhase::kInstallerStarted});
  } else {
    table_.SetStatus(row, {.phase = RowPhase::kInstallerFailed, .reason = installer_failure_});
  }
  return true;
}

bool RunEngine::InstallerVerified() const {
  // Only a file this release lists and this run checked is started; one
  // that merely lies in the folder (left by anyone) is not.
  const std::vector<JobState> states = table_.States();
  const std::vector<CatalogueEntry>& entries = services_.catalogue.Entries();
  for (size_t row = 0; row < entries.size() && row < states.size(); ++row) {
    const bool named = kThisSystemsNameRules == NameRules::kWindows
                           ? EqualIgnoringAsciiCase(entries[row].name, kInstallerName)
                           : entries[row].name == kInstallerName;
    if (named && states[row] == JobState::Verified) return true;
  }
  return false;
}

bool RunEngine::WorkersRunning() const {
  return (!download_workers_.empty() && !services_.flags.download_worker_done.load()) ||
         (verification_worker_.joinable() && !services_.flags.verification_worker_done.load());
}

void RunEngine::WaitForWorkers(const std::function<void()>& keep_alive) {
  services_.flags.abort.store(true);
  // Nobody answers once the run is ending: a waiting question is declined.
  questions_.Close();
  for (std::jthread& worker : download_workers_) worker.request_stop();
  verification_worker_.request_stop();
  table_.WakeWaiters();
  // The face keeps drawing until the workers have set their done flags,
  // which they do within a millisecond or two once stopped: looked at
  // often, so the end of every run is not held up by the wait.
  while (WorkersRunning()) {
    if (keep_alive) keep_alive();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  StopWorkers();
}

void RunEngine::StopWorkers() {
  services_.flags.abort.store(true);
  for (std::jthread& worker : download_workers_) worker.request_stop();
  if (verification_worker_.joinable()) verification_worker_.request_stop();
  table_.WakeWaiters();
  for (std::jthread& worker : download_workers_) {
    if (worker.joinable()) worker.join();
  }
  if (verification_worker_.joinable()) verification_worker_.join();
}

}  // namespace brenvik
