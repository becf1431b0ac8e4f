#include "run/statistics.h"

#include <algorithm>

#include "catalogue/catalogue.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "run/job_table.h"

namespace brenvik {

namespace {

// How often the rate takes a sample of what arrived.
constexpr std::chrono::milliseconds kSampleInterval{1000};

}  // namespace

ProgressStatistics::ProgressStatistics(JobTable& table, const Catalogue& catalogue, Clock clock)
    : table_(table), catalogue_(catalogue), clock_(std::move(clock)) {}

void ProgressStatistics::WatchTransfers(std::vector<const TransferCallback*> transfers) {
  transfers_ = std::move(transfers);
}

void ProgressStatistics::SetRunStart(std::chrono::milliseconds start) {
  const uint64_t received = ReadTransfers().received;
  std::lock_guard lock(rate_mutex_);
  sample_start_ = start;
  sample_bytes_ = received;
}

std::vector<uint64_t> ProgressStatistics::CountedSizes(const Catalogue& catalogue) {
  std::vector<uint64_t> sizes;
  sizes.reserve(static_cast<size_t>(catalogue.RowCount()));
  for (const CatalogueEntry& entry : catalogue.Entries()) {
    sizes.push_back(EqualIgnoringAsciiCase(entry.name, kInstallerRowName) ? 0 : entry.size);
  }
  return sizes;
}

ProgressStatistics::Work ProgressStatistics::SumWork(const std::vector<JobState>& states,
                                                     const std::vector<uint64_t>& sizes) {
  Work work;
  for (size_t k = 0; k < std::min(states.size(), sizes.size()); ++k) {
    switch (states[k]) {
      case JobState::Verified:
        work.verified += sizes[k];
        break;
      case JobState::PendingDownload:
        work.to_download += sizes[k];
        break;
      case JobState::PendingCheck:
      case JobState::CheckDone:
        work.to_check += sizes[k];
        break;
      case JobState::InstallerRow:
        break;
    }
  }
  return work;
}

ProgressStatistics::Work ProgressStatistics::WorkOf(const JobTable& table,
                                                    const Catalogue& catalogue) {
  return SumWork(table.States(), CountedSizes(catalogue));
}

ProgressStatistics::Transfers ProgressStatistics::ReadTransfers() const {
  Transfers sums;
  for (const TransferCallback* transfer : transfers_) {
    if (transfer->TransferRunning()) sums.running += transfer->BytesSoFar();
    sums.received += transfer->BytesReceived();
  }
  return sums;
}

ProgressStatistics::Work ProgressStatistics::CurrentWork() {
  // The table keeps the byte sums of its states as rows change; it is told
  // once which size each row counts for (twice at worst, when two threads
  // come first at once: the same sizes).
  if (sized_rows_.load() != catalogue_.RowCount()) {
    table_.SetRowSizes(CountedSizes(catalogue_));
    sized_rows_.store(catalogue_.RowCount());
  }
  const StateBytes bytes = table_.BytesByState();
  return {.verified = bytes.verified, .to_download = bytes.to_download, .to_check = bytes.to_check};
}

void ProgressStatistics::Sample(std::chrono::milliseconds now, uint64_t received) {
  const std::chrono::milliseconds elapsed = now - sample_start_;
  if (elapsed < kSampleInterval) return;
  const uint64_t bytes = received > sample_bytes_ ? received - sample_bytes_ : 0;
  const uint64_t sample = bytes * 1000 / static_cast<uint64_t>(elapsed.count()) / 1024;
  const uint64_t smoothed = (sample + 3ull * smoothed_rate_) >> 2;
  smoothed_rate_ = static_cast<uint32_t>(std::min<uint64_t>(smoothed, UINT32_MAX));
  sample_start_ = now;
  sample_bytes_ = received;
}

std::optional<uint64_t> ProgressStatistics::Estimate(const Work& work, uint64_t running) const {
  const uint64_t to_download = work.to_download - std::min(work.to_download, running);
  if (to_download == 0 && work.to_check == 0) return 0;
  double seconds = 0;
  if (to_download > 0) {
    if (smoothed_rate_ == 0) return {};  // nothing arrives, or nothing measured yet
    seconds += static_cast<double>(to_download) / 1024.0 / smoothed_rate_;
  }
  if (work.to_check > 0) {
    if (checked_bytes_ == 0) return {};  // no check has finished yet
    // Checks too quick for the clock cost nothing measurable.
    seconds += static_cast<double>(work.to_check) * static_cast<double>(checking_.count()) /
               1000.0 / static_cast<double>(checked_bytes_);
  }
  // Work is left, so the estimate never reads as nothing.
  return std::max<uint64_t>(1, static_cast<uint64_t>(seconds + 0.999));
}

namespace {

// A limit in kB/s as the line shows it: at least 1 for any limit.
uint32_t LimitKb(uint64_t bytes_per_second) {
  if (bytes_per_second == 0) return 0;
  return static_cast<uint32_t>(std::clamp<uint64_t>(bytes_per_second >> 10, 1, UINT32_MAX));
}

}  // namespace

StatisticsValues ProgressStatistics::UpdateStatistics(std::chrono::milliseconds now) {
  const Work work = CurrentWork();
  const Transfers transfers = ReadTransfers();
  // Verified files plus the downloads running now; a finished download
  // counts only once its file is verified, so nothing is counted twice.
  const uint64_t total = catalogue_.Total();
  const uint64_t now_done = std::min(work.verified + transfers.running, total);

  std::lock_guard lock(rate_mutex_);
  // Between a download's end and its file's verdict its bytes are in
  // neither sum; what was shown stays until the verdict catches up.
  done_ = std::max(done_, now_done);
  Sample(now, transfers.received);
  const StatisticsValues values{.done_bytes = done_,
                                .total_bytes = total,
                                .rate_kb = smoothed_rate_,
                                .estimate_seconds = Estimate(work, transfers.running),
                                .limit_kb = limit_ != nullptr ? LimitKb(limit_->Rate()) : 0};
  if (!frozen_) table_.SetStatistics(values);
  return values;
}

void ProgressStatistics::CountCheck(uint64_t bytes, std::chrono::milliseconds took) {
  std::lock_guard lock(rate_mutex_);
  checked_bytes_ += bytes;
  checking_ += std::max(took, std::chrono::milliseconds(0));
}

void ProgressStatistics::Freeze() {
  std::lock_guard lock(rate_mutex_);
  frozen_ = true;
}

uint32_t ProgressStatistics::SmoothedRate() const {
  std::lock_guard lock(rate_mutex_);
  return smoothed_rate_;
}

}  // namespace brenvik
