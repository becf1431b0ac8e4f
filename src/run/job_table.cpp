#include "run/job_table.h"

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
  auto listener = listener_;
  lock.unlock();
  if (listener) listener(row);
}

int JobTable::InsertRow(std::string name) {
  std::unique_lock lock(job_mutex_);
  rows_.push_back(JobRow{.name = std::move(name)});
  taken_.push_back(false);
  const int row = static_cast<int>(rows_.size()) - 1;
  ++state_revision_;
  Changed(lock, row);
  download_work_.notify_all();
  check_work_.notify_all();
  return row;
}

void JobTable::Clear() {
  std::unique_lock lock(job_mutex_);
  rows_.clear();
  taken_.clear();
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
  rows_[static_cast<size_t>(row)].state = state;
  ++state_revision_;
  Changed(lock, row);
  // Only a row that now waits for a worker gives one work.
  if (state == JobState::PendingDownload) download_work_.notify_all();
  if (state == JobState::PendingCheck) check_work_.notify_all();
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
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].state == JobState::PendingDownload && !taken_[i]) {
      taken_[i] = true;
      ++revision_;
      return static_cast<int>(i);
    }
  }
  return -1;
}

void JobTable::ReleaseDownload(int row) {
  std::lock_guard lock(job_mutex_);
  if (!Valid(row) || !taken_[static_cast<size_t>(row)]) return;
  taken_[static_cast<size_t>(row)] = false;
  ++revision_;
  // A failed check may have made the row PendingDownload while it was held:
  // a waiting worker may take it now.
  ++state_revision_;
  download_work_.notify_all();
}

int JobTable::CurrentDownloadRow() const {
  std::lock_guard lock(job_mutex_);
  for (size_t i = 0; i < taken_.size(); ++i) {
    if (taken_[i]) return static_cast<int>(i);
  }
  return -1;
}

void JobTable::SetStatusLine(std::string message) {
  std::unique_lock lock(job_mutex_);
  status_line_ = {std::move(message), StatusLineKind::kMessage};
  Changed(lock, kStatusLineRow);
}

void JobTable::SetStatisticsLine(std::string statistics) {
  std::unique_lock lock(job_mutex_);
  status_line_ = {std::move(statistics), StatusLineKind::kStatistics};
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
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].state == state) return static_cast<int>(i);
  }
  return -1;
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
