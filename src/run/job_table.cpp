#include "run/job_table.h"

#include <algorithm>
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
    case RowPhase::kOtherServer:
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

int JobTable::InsertRow(std::string name) {
  int row = 0;
  {
    std::unique_lock lock(rows_mutex_);
    rows_.push_back(JobRow{.name = std::move(name)});
    changed_at_.push_back(0);
    row = static_cast<int>(rows_.size()) - 1;
    // A view that last looked before this row was there reads the table anew.
    reset_at_ = revision_ + 1;
    Changed(lock, row);
  }
  // The row is there for a face before a worker can take it.
  queue_.AddRow();
  return row;
}

void JobTable::Clear() {
  queue_.Clear();
  std::unique_lock lock(rows_mutex_);
  rows_.clear();
  changed_at_.clear();
  change_log_.clear();
  Changed(lock, kWholeTable);
}

int JobTable::RowCount() const {
  std::lock_guard lock(rows_mutex_);
  return static_cast<int>(rows_.size());
}

JobRow JobTable::Row(int row) const {
  std::lock_guard lock(rows_mutex_);
  return Valid(row) ? rows_[static_cast<size_t>(row)] : JobRow{};
}

std::vector<JobRow> JobTable::Snapshot() const {
  std::lock_guard lock(rows_mutex_);
  return rows_;
}

RowChanges JobTable::ChangesSince(uint64_t revision) const {
  std::lock_guard lock(rows_mutex_);
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

void JobTable::SetState(int row, JobState state) {
  queue_.SetState(row, state);
  std::unique_lock lock(rows_mutex_);
  if (!Valid(row)) return;
  rows_[static_cast<size_t>(row)].state = state;
  Changed(lock, row);
}

void JobTable::SetStatus(int row, RowStatus status) {
  std::unique_lock lock(rows_mutex_);
  if (!Valid(row)) return;
  JobRow& changed = rows_[static_cast<size_t>(row)];
  if (const std::optional<RowImage> image = ImageOf(status.phase)) changed.image = *image;
  changed.status = std::move(status);
  Changed(lock, row);
}

int JobTable::TakeDownload() {
  const int row = queue_.Take();
  if (row >= 0) {
    // A new current download row: a view that compares revisions looks again.
    std::lock_guard lock(rows_mutex_);
    ++revision_;
  }
  return row;
}

void JobTable::ReleaseDownload(int row) {
  if (row < 0) return;
  queue_.Release(row);
  std::lock_guard lock(rows_mutex_);
  ++revision_;
}

void JobTable::SetStatusLine(std::string message) {
  std::unique_lock lock(rows_mutex_);
  status_line_ = {std::move(message), StatusLineKind::kMessage, {}};
  Changed(lock, kStatusLineRow);
}

void JobTable::SetStatistics(const StatisticsValues& statistics) {
  std::string line = StatisticsLine(statistics);
  std::unique_lock lock(rows_mutex_);
  status_line_ = {std::move(line), StatusLineKind::kStatistics, statistics};
  Changed(lock, kStatusLineRow);
}

std::string JobTable::StatusLine() const {
  std::lock_guard lock(rows_mutex_);
  return status_line_.text;
}

StatusLineValue JobTable::StatusLineWithKind() const {
  std::lock_guard lock(rows_mutex_);
  return status_line_;
}

uint64_t JobTable::Revision() const {
  std::lock_guard lock(rows_mutex_);
  return revision_;
}

void JobTable::SetChangeListener(std::function<void(int)> listener) {
  std::lock_guard lock(rows_mutex_);
  listener_ = std::move(listener);
}

}  // namespace brenvik
