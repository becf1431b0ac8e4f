#include "run/job_table.h"

#include <algorithm>
#include <climits>
#include <optional>

namespace brenvik {

namespace {

// The image a status brings; nullopt: the row keeps the one it has.
std::optional<RowImage> ImageOf(RowPhase phase) {
  switch (phase) {
    case RowPhase::kDownloading:
    case RowPhase::kInstallerStarting:
      return RowImage::kBusy;
    case RowPhase::kChecksumming:
      return RowImage::kChecking;
    case RowPhase::kChecksumOk:
    case RowPhase::kInstallerStarted:
      return RowImage::kDone;
    case RowPhase::kInstallerFailed:
    case RowPhase::kInstallerNotInRelease:
      return RowImage::kIdle;
    case RowPhase::kNone:
    case RowPhase::kPending:
    case RowPhase::kDownloaded:
    case RowPhase::kChecksumFailed:
    case RowPhase::kAttemptFailed:
    case RowPhase::kRetryWaiting:
    case RowPhase::kLocalFailure:
    case RowPhase::kInstallPending:
      break;
  }
  return std::nullopt;
}

}  // namespace

void JobTable::Changed(std::unique_lock<std::mutex>& lock, int row) {
  ++revision_;
  if (Valid(row)) {
    changed_at_[static_cast<size_t>(row)] = revision_;
    LogChange(row);
  } else if (row == kWholeTable) {
    reset_at_ = revision_;
  }
  auto listener = listener_;
  lock.unlock();
  if (listener) listener(row);
}

void JobTable::LogChange(int row) {
  change_log_.emplace_back(revision_, row);
  // Entries of rows that changed again since are dropped now and then, so
  // the log holds at most about twice as many entries as there are rows:
  // each change costs O(1) on the average.
  if (change_log_.size() < 2 * rows_.size() + 1024) return;
  std::erase_if(change_log_, [this](const std::pair<uint64_t, int>& entry) {
    return changed_at_[static_cast<size_t>(entry.second)] != entry.first;
  });
}

uint64_t JobTable::SizeOf(int row) const {
  return static_cast<size_t>(row) < sizes_.size() ? sizes_[static_cast<size_t>(row)] : 0;
}

void JobTable::Index(int row, JobState from, JobState to) {
  in_state_[Slot(from)].erase(row);
  in_state_[Slot(to)].insert(row);
  bytes_in_state_[Slot(from)] -= SizeOf(row);
  bytes_in_state_[Slot(to)] += SizeOf(row);
  if (from == JobState::PendingDownload) free_downloads_.erase(row);
  if (to == JobState::PendingDownload && !held_.contains(row)) {
    free_downloads_.insert(row);
  }
}

int JobTable::InsertRow(std::string name) {
  std::unique_lock lock(job_mutex_);
  rows_.push_back(JobRow{.name = std::move(name)});
  changed_at_.push_back(0);
  const int row = static_cast<int>(rows_.size()) - 1;
  in_state_[Slot(JobState::PendingDownload)].insert(row);
  free_downloads_.insert(row);
  bytes_in_state_[Slot(JobState::PendingDownload)] += SizeOf(row);
  ++state_revision_;
  // A view that last looked before this row was there reads the table anew.
  reset_at_ = revision_ + 1;
  Changed(lock, row);
  download_work_.notify_all();
  check_work_.notify_all();
  return row;
}

void JobTable::Clear() {
  std::unique_lock lock(job_mutex_);
  rows_.clear();
  for (std::set<int>& rows : in_state_) rows.clear();
  free_downloads_.clear();
  held_.clear();
  bytes_in_state_ = {};
  changed_at_.clear();
  change_log_.clear();
  ++state_revision_;
  Changed(lock, kWholeTable);
  download_work_.notify_all();
  check_work_.notify_all();
}

int JobTable::RowCount() const {
  std::lock_guard lock(job_mutex_);
  return static_cast<int>(rows_.size());
}

JobRow JobTable::Row(int row) const {
  std::lock_guard lock(job_mutex_);
  return Valid(row) ? rows_[static_cast<size_t>(row)] : JobRow{};
}

std::vector<JobRow> JobTable::Snapshot() const {
  std::lock_guard lock(job_mutex_);
  return rows_;
}

void JobTable::SetRowSizes(const std::vector<uint64_t>& sizes) {
  std::lock_guard lock(job_mutex_);
  sizes_ = sizes;
  bytes_in_state_ = {};
  for (size_t i = 0; i < rows_.size(); ++i) {
    bytes_in_state_[Slot(rows_[i].state)] += SizeOf(static_cast<int>(i));
  }
}

StateBytes JobTable::BytesByState() const {
  std::lock_guard lock(job_mutex_);
  return {.verified = bytes_in_state_[Slot(JobState::Verified)],
          .to_download = bytes_in_state_[Slot(JobState::PendingDownload)],
          .to_check = bytes_in_state_[Slot(JobState::PendingCheck)] +
                      bytes_in_state_[Slot(JobState::CheckDone)]};
}

RowChanges JobTable::ChangesSince(uint64_t revision) const {
  std::lock_guard lock(job_mutex_);
  RowChanges changes;
  changes.revision = revision_;
  if (reset_at_ > revision) {
    changes.whole_table = true;
    return changes;
  }
  // The log is in revision order; an entry counts only when it is its
  // row's last change, so each row comes once.
  auto it = std::upper_bound(change_log_.begin(), change_log_.end(), revision,
                             [](uint64_t value, const auto& entry) { return value < entry.first; });
  for (; it != change_log_.end(); ++it) {
    const auto [at, row] = *it;
    if (changed_at_[static_cast<size_t>(row)] != at) continue;
    changes.rows.emplace_back(row, rows_[static_cast<size_t>(row)]);
  }
  std::sort(changes.rows.begin(), changes.rows.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return changes;
}

std::vector<JobState> JobTable::States() const {
  std::lock_guard lock(job_mutex_);
  std::vector<JobState> states;
  states.reserve(rows_.size());
  for (const auto& row : rows_) states.push_back(row.state);
  return states;
}

void JobTable::SetState(int row, JobState state) {
  std::unique_lock lock(job_mutex_);
  if (!Valid(row)) return;
  JobState& current = rows_[static_cast<size_t>(row)].state;
  if (current != state) Index(row, current, state);
  current = state;
  ++state_revision_;
  Changed(lock, row);
  // Only a row that now waits for a worker gives work, and to one worker:
  // waking every download worker for one row would send all but one back
  // to sleep, thousands of times over on a release of many small files.
  if (state == JobState::PendingDownload) download_work_.notify_one();
  if (state == JobState::PendingCheck) check_work_.notify_one();
}

void JobTable::SetStatus(int row, RowStatus status) {
  std::unique_lock lock(job_mutex_);
  if (!Valid(row)) return;
  JobRow& changed = rows_[static_cast<size_t>(row)];
  if (const std::optional<RowImage> image = ImageOf(status.phase)) changed.image = *image;
  changed.status = std::move(status);
  Changed(lock, row);
}

int JobTable::TakeDownload() {
  std::lock_guard lock(job_mutex_);
  if (free_downloads_.empty()) return -1;
  const int row = *free_downloads_.begin();
  free_downloads_.erase(free_downloads_.begin());
  held_.insert(row);
  ++revision_;
  return row;
}

void JobTable::ReleaseDownload(int row) {
  std::lock_guard lock(job_mutex_);
  if (!Valid(row) || held_.erase(row) == 0) return;
  const bool free = rows_[static_cast<size_t>(row)].state == JobState::PendingDownload;
  if (free) free_downloads_.insert(row);
  ++revision_;
  // A failed check may have made the row PendingDownload while it was held:
  // a waiting worker may take it now.
  ++state_revision_;
  if (free) download_work_.notify_one();
}

int JobTable::CurrentDownloadRow() const {
  std::lock_guard lock(job_mutex_);
  return held_.empty() ? -1 : *held_.begin();
}

void JobTable::SetStatusLine(std::string message) {
  std::unique_lock lock(job_mutex_);
  status_line_ = {std::move(message), StatusLineKind::kMessage, {}};
  Changed(lock, kStatusLineRow);
}

void JobTable::SetStatistics(const StatisticsValues& statistics) {
  std::string line = StatisticsLine(statistics);
  std::unique_lock lock(job_mutex_);
  status_line_ = {std::move(line), StatusLineKind::kStatistics, statistics};
  Changed(lock, kStatusLineRow);
}

std::string JobTable::StatusLine() const {
  std::lock_guard lock(job_mutex_);
  return status_line_.text;
}

StatusLineValue JobTable::StatusLineWithKind() const {
  std::lock_guard lock(job_mutex_);
  return status_line_;
}

int JobTable::FirstInState(JobState state) const {
  std::lock_guard lock(job_mutex_);
  const std::set<int>& rows = in_state_[Slot(state)];
  return rows.empty() ? -1 : *rows.begin();
}

int JobTable::FirstUnfinished() const {
  std::lock_guard lock(job_mutex_);
  int first = INT_MAX;
  for (JobState state : {JobState::PendingDownload, JobState::PendingCheck, JobState::CheckDone}) {
    const std::set<int>& rows = in_state_[Slot(state)];
    if (!rows.empty()) first = std::min(first, *rows.begin());
  }
  return first == INT_MAX ? -1 : first;
}

JobTable::WaitEnd JobTable::WaitForWork(JobState work, uint64_t seen,
                                        std::chrono::milliseconds timeout,
                                        std::stop_token stop) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::condition_variable& woken = work == JobState::PendingDownload ? download_work_ : check_work_;
  std::unique_lock lock(job_mutex_);
  woken.wait_until(lock, deadline,
                   [&] { return state_revision_ != seen || stop.stop_requested(); });
  if (std::chrono::steady_clock::now() >= deadline) return WaitEnd::kTimedOut;
  return state_revision_ != seen ? WaitEnd::kChanged : WaitEnd::kStopped;
}

void JobTable::WakeWaiters() const {
  // Under the lock: a waiter either sees the stop in its predicate or is
  // already waiting when the notification comes.
  std::lock_guard lock(job_mutex_);
  download_work_.notify_all();
  check_work_.notify_all();
}

uint64_t JobTable::StateRevision() const {
  std::lock_guard lock(job_mutex_);
  return state_revision_;
}

uint64_t JobTable::Revision() const {
  std::lock_guard lock(job_mutex_);
  return revision_;
}

void JobTable::SetChangeListener(std::function<void(int)> listener) {
  std::lock_guard lock(job_mutex_);
  listener_ = std::move(listener);
}

}  // namespace brenvik
