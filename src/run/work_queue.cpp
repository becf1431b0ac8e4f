#include "run/work_queue.h"

#include <algorithm>
#include <climits>

namespace brenvik {

uint64_t WorkQueue::SizeOf(int row) const {
  return static_cast<size_t>(row) < sizes_.size() ? sizes_[static_cast<size_t>(row)] : 0;
}

void WorkQueue::Index(int row, JobState from, JobState to) {
  in_state_[Slot(from)].erase(row);
  in_state_[Slot(to)].insert(row);
  bytes_in_state_[Slot(from)] -= SizeOf(row);
  bytes_in_state_[Slot(to)] += SizeOf(row);
  if (from == JobState::PendingDownload) free_downloads_.erase(row);
  if (to == JobState::PendingDownload && !held_.contains(row)) {
    free_downloads_.insert(row);
  }
}

void WorkQueue::AddRow() {
  {
    std::lock_guard lock(mutex_);
    const int row = static_cast<int>(states_.size());
    states_.push_back(JobState::PendingDownload);
    in_state_[Slot(JobState::PendingDownload)].insert(row);
    free_downloads_.insert(row);
    bytes_in_state_[Slot(JobState::PendingDownload)] += SizeOf(row);
    ++state_revision_;
  }
  download_work_.notify_all();
  check_work_.notify_all();
}

void WorkQueue::Clear() {
  {
    std::lock_guard lock(mutex_);
    states_.clear();
    for (std::set<int>& rows : in_state_) rows.clear();
    free_downloads_.clear();
    held_.clear();
    bytes_in_state_ = {};
    ++state_revision_;
  }
  download_work_.notify_all();
  check_work_.notify_all();
}

int WorkQueue::RowCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(states_.size());
}

void WorkQueue::SetSizes(const std::vector<uint64_t>& sizes) {
  std::lock_guard lock(mutex_);
  sizes_ = sizes;
  bytes_in_state_ = {};
  for (size_t i = 0; i < states_.size(); ++i) {
    bytes_in_state_[Slot(states_[i])] += SizeOf(static_cast<int>(i));
  }
}

StateBytes WorkQueue::BytesByState() const {
  std::lock_guard lock(mutex_);
  return {.verified = bytes_in_state_[Slot(JobState::Verified)],
          .to_download = bytes_in_state_[Slot(JobState::PendingDownload)],
          .to_check = bytes_in_state_[Slot(JobState::PendingCheck)] +
                      bytes_in_state_[Slot(JobState::CheckDone)]};
}

void WorkQueue::SetState(int row, JobState state) {
  bool last = false;
  {
    std::lock_guard lock(mutex_);
    if (!Valid(row)) return;
    JobState& current = states_[static_cast<size_t>(row)];
    if (current != state) Index(row, current, state);
    current = state;
    ++state_revision_;
    last = state >= JobState::Verified && AllFinished();
  }
  // Only a row that now waits for a worker gives work, and to one worker:
  // waking every download worker for one row would send all but one back
  // to sleep, thousands of times over on a release of many small files.
  if (state == JobState::PendingDownload) download_work_.notify_one();
  if (state == JobState::PendingCheck) check_work_.notify_one();
  // Only the last row to finish wakes the face: not one wake-up per file.
  if (last) all_finished_.notify_all();
}

std::vector<JobState> WorkQueue::States() const {
  std::lock_guard lock(mutex_);
  return states_;
}

int WorkQueue::Take() {
  std::lock_guard lock(mutex_);
  if (free_downloads_.empty()) return -1;
  const int row = *free_downloads_.begin();
  free_downloads_.erase(free_downloads_.begin());
  held_.insert(row);
  return row;
}

void WorkQueue::Release(int row) {
  bool free = false;
  {
    std::lock_guard lock(mutex_);
    if (!Valid(row) || held_.erase(row) == 0) return;
    free = states_[static_cast<size_t>(row)] == JobState::PendingDownload;
    if (free) free_downloads_.insert(row);
    // A failed check may have made the row PendingDownload while it was
    // held: a waiting worker may take it now.
    ++state_revision_;
  }
  if (free) download_work_.notify_one();
}

int WorkQueue::CurrentDownloadRow() const {
  std::lock_guard lock(mutex_);
  return held_.empty() ? -1 : *held_.begin();
}

int WorkQueue::FirstInState(JobState state) const {
  std::lock_guard lock(mutex_);
  const std::set<int>& rows = in_state_[Slot(state)];
  return rows.empty() ? -1 : *rows.begin();
}

bool WorkQueue::AllFinished() const {
  return in_state_[Slot(JobState::PendingDownload)].empty() &&
         in_state_[Slot(JobState::PendingCheck)].empty() &&
         in_state_[Slot(JobState::CheckDone)].empty();
}

void WorkQueue::WaitUntilAllFinished(uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  all_finished_.wait_for(lock, timeout, [&] { return state_revision_ != seen && AllFinished(); });
}

int WorkQueue::FirstUnfinished() const {
  std::lock_guard lock(mutex_);
  int first = INT_MAX;
  for (JobState state : {JobState::PendingDownload, JobState::PendingCheck, JobState::CheckDone}) {
    const std::set<int>& rows = in_state_[Slot(state)];
    if (!rows.empty()) first = std::min(first, *rows.begin());
  }
  return first == INT_MAX ? -1 : first;
}

WorkQueue::WaitEnd WorkQueue::WaitForWork(JobState work, uint64_t seen,
                                          std::chrono::milliseconds timeout,
                                          std::stop_token stop) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::condition_variable& woken = work == JobState::PendingDownload ? download_work_ : check_work_;
  std::unique_lock lock(mutex_);
  woken.wait_until(lock, deadline,
                   [&] { return state_revision_ != seen || stop.stop_requested(); });
  if (std::chrono::steady_clock::now() >= deadline) return WaitEnd::kTimedOut;
  return state_revision_ != seen ? WaitEnd::kChanged : WaitEnd::kStopped;
}

void WorkQueue::WakeWaiters() const {
  // Under the lock: a waiter either sees the stop in its predicate or is
  // already waiting when the notification comes.
  std::lock_guard lock(mutex_);
  download_work_.notify_all();
  check_work_.notify_all();
}

void WorkQueue::CallIdleDownloadWorkers() {
  {
    std::lock_guard lock(mutex_);
    ++state_revision_;
  }
  download_work_.notify_all();
}

uint64_t WorkQueue::StateRevision() const {
  std::lock_guard lock(mutex_);
  return state_revision_;
}

}  // namespace brenvik
