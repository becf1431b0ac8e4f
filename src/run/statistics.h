#pragma once
// Progress statistics of a run: the status line
// "%u kB of %u kB done, %u kB/s, EDT: %s" with a smoothed rate and the
// estimated time left.
//
// Done is the sum of the sizes of Verified catalogue rows plus the bytes of
// every download running now; it never passes the total. The rate is an
// exponential average (weight 1/4 for each new sample).
//
// Thread safety: UpdateStatistics runs on the download workers and on the
// verification worker, possibly at once. WatchTransfers comes before any
// of them starts.

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "transfer/transfer_callback.h"

namespace brenvik {

class Catalogue;
class JobTable;

class ProgressStatistics {
 public:
  using Clock = std::function<std::time_t()>;

  ProgressStatistics(
      JobTable& table, const Catalogue& catalogue, Clock clock = [] { return std::time(nullptr); });

  // The transfers whose running bytes count as done (one per download
  // worker); they must outlive every later update.
  void WatchTransfers(std::vector<const TransferCallback*> transfers);

  void SetRunStart(std::time_t start) { run_start_.store(start); }
  std::time_t RunStart() const { return run_start_.load(); }

  // Formats the statistics line for `now`, stores it as the table's status
  // line and returns it.
  std::string UpdateStatistics(std::time_t now);
  std::string UpdateStatistics() { return UpdateStatistics(clock_()); }

  // After the run is complete the face owns the status line ("All Done.");
  // later updates compute but no longer write it.
  void Freeze();

  uint32_t SmoothedRate() const;

  // Sum of the catalogue sizes of the Verified catalogue rows.
  static uint64_t VerifiedBytes(const JobTable& table, const Catalogue& catalogue);
  // "%.2u:%.2u:%.2u" of a span of seconds; hours are not reduced.
  static std::string FormatEstimate(uint64_t seconds);

 private:
  JobTable& table_;
  const Catalogue& catalogue_;
  std::vector<const TransferCallback*> transfers_;
  Clock clock_;
  std::atomic<std::time_t> run_start_{0};
  mutable std::mutex rate_mutex_;
  uint32_t smoothed_rate_ = 0;
  bool frozen_ = false;  // guarded by rate_mutex_
  // The verified sum changes only with a state code; progress reports come
  // far more often, so the sum is kept per state revision.
  uint64_t verified_revision_ = UINT64_MAX;  // guarded by rate_mutex_
  uint64_t verified_bytes_ = 0;              // guarded by rate_mutex_
};

}  // namespace brenvik
