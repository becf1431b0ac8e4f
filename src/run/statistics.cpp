#include "run/statistics.h"

#include <strings.h>

#include <algorithm>

#include "catalogue/catalogue.h"
#include "platform/prompt.h"
#include "run/job_table.h"

namespace brenvik {

ProgressStatistics::ProgressStatistics(JobTable& table, const Catalogue& catalogue, Clock clock)
    : table_(table), catalogue_(catalogue), clock_(std::move(clock)) {}

void ProgressStatistics::WatchTransfers(std::vector<const TransferCallback*> transfers) {
  transfers_ = std::move(transfers);
}

uint64_t ProgressStatistics::VerifiedBytes(const JobTable& table, const Catalogue& catalogue) {
  const std::vector<JobState> states = table.States();
  const size_t rows = std::min(states.size(), static_cast<size_t>(catalogue.RowCount()));
  uint64_t sum = 0;
  for (size_t k = 0; k < rows; ++k) {
    if (states[k] != JobState::Verified) continue;
    const CatalogueEntry& entry = catalogue.Entry(static_cast<int>(k));
    if (strcasecmp(entry.name.c_str(), kInstallerRowName) == 0) continue;
    sum += entry.size;
  }
  return sum;
}

std::string ProgressStatistics::FormatEstimate(uint64_t seconds) {
  return Format("%.2llu:%.2llu:%.2llu", static_cast<unsigned long long>(seconds / 3600),
                static_cast<unsigned long long>(seconds / 60 % 60),
                static_cast<unsigned long long>(seconds % 60));
}

std::string ProgressStatistics::UpdateStatistics(std::time_t now) {
  const std::time_t start = run_start_.load();
  const uint64_t elapsed = now > start ? static_cast<uint64_t>(now - start) : 0;

  // Verified files plus the downloads running now; a finished download
  // counts only once its file is verified, so nothing is counted twice.
  uint64_t done = 0;
  {
    const uint64_t revision = table_.StateRevision();
    std::lock_guard lock(rate_mutex_);
    if (revision != verified_revision_) {
      verified_bytes_ = VerifiedBytes(table_, catalogue_);
      verified_revision_ = revision;
    }
    done = verified_bytes_;
  }
  for (const TransferCallback* transfer : transfers_) {
    if (transfer->TransferRunning()) done += transfer->BytesSoFar();
  }
  const uint64_t total = catalogue_.Total();
  done = std::min(done, total);
  const uint64_t total_kb = total >> 10;
  const uint64_t done_kb = done >> 10;

  uint32_t rate = 0;
  std::string estimate;
  if (elapsed != 0) {
    const uint64_t sample = done_kb / elapsed;
    {
      std::lock_guard lock(rate_mutex_);
      const uint64_t smoothed = (sample + 3ull * smoothed_rate_) >> 2;
      rate = static_cast<uint32_t>(std::min<uint64_t>(smoothed, UINT32_MAX));
      smoothed_rate_ = rate;
    }
    const uint64_t left_kb = total_kb - done_kb;
    if (left_kb == 0) {
      estimate = FormatEstimate(0);
    } else if (rate != 0) {
      estimate = FormatEstimate(left_kb / rate);
    }
  } else {
    rate = 0;
  }

  std::string line =
      Format("%llu kB of %llu kB done, %u kB/s, EDT: %s", static_cast<unsigned long long>(done_kb),
             static_cast<unsigned long long>(total_kb), rate, estimate.c_str());
  {
    std::lock_guard lock(rate_mutex_);
    if (!frozen_) table_.SetStatisticsLine(line);
  }
  return line;
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
