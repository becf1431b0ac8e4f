#pragma once
// Progress statistics of a run: the status line
// "%u kB of %u kB done, %u kB/s, EDT: %s" with the transfer rate and the
// estimated time left.
//
// Done is the sum of the sizes of Verified catalogue rows plus the bytes of
// every download running now; it never passes the total, and it never goes
// backwards: a download that has ended leaves the running bytes before its
// file is verified, so the line shows the most done has reached.
//
// The rate is what arrives now: once a second a sample is taken of the
// bytes the downloads received since the last sample (bytes of this run
// only: a file found correct in the folder, or the part of a file kept from
// an earlier attempt, never counts), and the rate shown is an exponential
// average of the samples (weight 1/4 for each new one). A stall brings it
// down towards 0 sample by sample.
//
// The estimate covers the work left: the bytes still to download at the
// rate, plus the bytes still to check (files downloaded and not verified
// yet, and the files not checked yet at the start of a run) at the hashing
// speed measured on this run's checks. While either part has nothing to be
// measured by yet (no rate, no check finished) no estimate is shown; it
// reads "00:00:00" only when nothing is left.
//
// Thread safety: UpdateStatistics and CountCheck run on the download
// workers, the verification worker and the face's thread, possibly at once.
// WatchTransfers comes before any of them starts.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "run/job_table.h"
#include "texts/statistics_text.h"
#include "transfer/rate_limit.h"
#include "transfer/transfer_callback.h"

namespace brenvik {

class Catalogue;

class ProgressStatistics {
 public:
  // Milliseconds on a steady clock.
  using Clock = std::function<std::chrono::milliseconds()>;

  ProgressStatistics(JobTable& table, const Catalogue& catalogue, Clock clock);

  // The transfers whose bytes count (one per download worker); they must
  // outlive every later update.
  void WatchTransfers(std::vector<const TransferCallback*> transfers);

  // The run starts: the first rate sample counts from here.
  void SetRunStart(std::chrono::milliseconds start);
  // The speed limit the line names while one is set (null: none); it must
  // outlive the statistics.
  void ShowLimitOf(const RateLimit* limit) { limit_ = limit; }

  // Works out the statistics for `now`, stores their line as the table's
  // status line and returns them.
  StatisticsValues UpdateStatistics(std::chrono::milliseconds now);
  StatisticsValues UpdateStatistics() { return UpdateStatistics(clock_()); }
  std::chrono::milliseconds Now() const { return clock_(); }

  // A check that read a whole file of `bytes` in `took`: what the hashing
  // speed is measured by.
  void CountCheck(uint64_t bytes, std::chrono::milliseconds took);

  // After the run is complete the face owns the status line ("All Done.");
  // later updates compute but no longer write it.
  void Freeze();

  // The rate shown, in kB/s.
  uint32_t SmoothedRate() const;

  // What the catalogue rows' states say is done and left, in bytes.
  struct Work {
    uint64_t verified = 0;     // Verified rows
    uint64_t to_download = 0;  // PendingDownload rows, running downloads included
    uint64_t to_check = 0;     // PendingCheck and CheckDone rows
  };
  // Summed from the rows' states (O(n): for checks and tests).
  static Work WorkOf(const JobTable& table, const Catalogue& catalogue);
  // The same, as the table keeps it up to date (O(1)).
  Work CurrentWork();
  // Sum of the catalogue sizes of the Verified catalogue rows.
  static uint64_t VerifiedBytes(const JobTable& table, const Catalogue& catalogue) {
    return WorkOf(table, catalogue).verified;
  }

 private:
  // What the watched transfers hold now.
  struct Transfers {
    uint64_t running = 0;   // bytes of the files being downloaded, as far as they got
    uint64_t received = 0;  // bytes received over the run
  };
  Transfers ReadTransfers() const;
  // Per catalogue row, the size that counts: none for a file named like the
  // installer row.
  static std::vector<uint64_t> CountedSizes(const Catalogue& catalogue);
  static Work SumWork(const std::vector<JobState>& states, const std::vector<uint64_t>& sizes);
  void Sample(std::chrono::milliseconds now, uint64_t received);  // under rate_mutex_
  // The seconds left; none while there is nothing to measure them by.
  std::optional<uint64_t> Estimate(const Work& work, uint64_t running) const;  // under rate_mutex_

  JobTable& table_;
  const Catalogue& catalogue_;
  std::vector<const TransferCallback*> transfers_;
  Clock clock_;
  std::atomic<int> sized_rows_{-1};  // the catalogue rows the table was given sizes for
  mutable std::mutex rate_mutex_;    // guards everything below
  uint32_t smoothed_rate_ = 0;       // kB/s
  std::chrono::milliseconds sample_start_{0};
  uint64_t sample_bytes_ = 0;  // received when the current sample started
  uint64_t checked_bytes_ = 0;
  std::chrono::milliseconds checking_{0};
  bool frozen_ = false;
  const RateLimit* limit_ = nullptr;
  uint64_t done_ = 0;  // the most "done" has shown
};

}  // namespace brenvik
