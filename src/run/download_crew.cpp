#include "run/download_crew.h"

#include <algorithm>

#include "run/job_table.h"
#include "run/statistics.h"

namespace brenvik {

DownloadLane::DownloadLane(const std::atomic<bool>& abort, JobTable& table,
                           ProgressStatistics& statistics)
    : callback_(abort), table_(table), statistics_(statistics) {
  callback_.Attach(this);
}

void DownloadLane::Enter(int row, uint64_t size, const std::atomic<uint64_t>* file_done,
                         uint64_t file_size) {
  reserved_.store(size);
  file_done_.store(file_done);
  file_size_.store(file_size);
  row_.store(row);
}

void DownloadLane::Leave() {
  row_.store(-1);
  file_done_.store(nullptr);
  reserved_.store(0);
}

uint64_t DownloadLane::BytesToCome() const {
  const uint64_t reserved = reserved_.load();
  // Until its transfer starts the callback still holds the last file's count.
  const uint64_t arrived = callback_.TransferRunning() ? callback_.BytesSoFar() : 0;
  return reserved - std::min(reserved, arrived);
}

void DownloadLane::ShowFileProgress(uint32_t percent) {
  if (const std::atomic<uint64_t>* done = file_done_.load(); done != nullptr) {
    percent = TransferCallback::Percentage(done->load(), file_size_.load());
  }
  if (const int row = row_.load(); row >= 0) {
    table_.SetStatus(row, RowStatus::Downloading(percent));  // never above 100
  }
  statistics_.UpdateStatistics();
}

DownloadCrew::DownloadCrew(int lanes, int starting, const std::atomic<bool>& abort, JobTable& table,
                           ProgressStatistics& statistics, int rows)
    : fetches_(static_cast<size_t>(std::max(rows, 0)), 0),
      stale_(fetches_.size(), 0),
      unsplittable_(fetches_.size(), 0),
      running_(std::clamp(starting, 1, std::max(lanes, 1))) {
  for (int i = 0; i < std::max(lanes, 1); ++i) {
    lanes_.push_back(std::make_unique<DownloadLane>(abort, table, statistics));
  }
}

bool DownloadCrew::Unsplittable(int row) const {
  std::lock_guard lock(fetch_mutex_);
  return row < 0 || static_cast<size_t>(row) >= unsplittable_.size() ||
         unsplittable_[static_cast<size_t>(row)] != 0;
}

void DownloadCrew::MarkUnsplittable(int row) {
  std::lock_guard lock(fetch_mutex_);
  if (row >= 0 && static_cast<size_t>(row) < unsplittable_.size()) {
    unsplittable_[static_cast<size_t>(row)] = 1;
  }
}

bool DownloadCrew::Join() {
  int running = running_.load();
  while (running > 0 && !running_.compare_exchange_weak(running, running + 1)) {
  }
  return running > 0;
}

std::vector<const TransferCallback*> DownloadCrew::Callbacks() const {
  std::vector<const TransferCallback*> callbacks;
  for (const auto& lane : lanes_) callbacks.push_back(&lane->Callback());
  return callbacks;
}

int DownloadCrew::CountFailure() { return ++failures_; }
int DownloadCrew::Failures() const { return failures_.load(); }
void DownloadCrew::ResetFailures() { failures_.store(0); }

int DownloadCrew::Fetches(int row) const {
  std::lock_guard lock(fetch_mutex_);
  return row >= 0 && static_cast<size_t>(row) < fetches_.size() ? fetches_[static_cast<size_t>(row)]
                                                                : 0;
}

void DownloadCrew::CountFetch(int row) {
  std::lock_guard lock(fetch_mutex_);
  if (row < 0 || static_cast<size_t>(row) >= fetches_.size()) return;
  ++fetches_[static_cast<size_t>(row)];
  // The row comes back for another fetch only when this file fails its check.
  stale_[static_cast<size_t>(row)] = 1;
}

bool DownloadCrew::PastCaches(int row) const {
  std::lock_guard lock(fetch_mutex_);
  return row >= 0 && static_cast<size_t>(row) < stale_.size() &&
         stale_[static_cast<size_t>(row)] != 0;
}

void DownloadCrew::MarkStale(int row) {
  std::lock_guard lock(fetch_mutex_);
  if (row >= 0 && static_cast<size_t>(row) < stale_.size()) stale_[static_cast<size_t>(row)] = 1;
}

void DownloadCrew::ResetFetches(int row) {
  std::lock_guard lock(fetch_mutex_);
  if (row >= 0 && static_cast<size_t>(row) < fetches_.size())
    fetches_[static_cast<size_t>(row)] = 0;
}

uint64_t DownloadCrew::BytesInFlight(int except) const {
  uint64_t sum = 0;
  for (size_t i = 0; i < lanes_.size(); ++i) {
    if (static_cast<int>(i) != except) sum += lanes_[i]->BytesToCome();
  }
  return sum;
}

}  // namespace brenvik
