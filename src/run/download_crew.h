#pragma once
// What the download workers of one run share: a lane per worker (its own
// transfer callback and the row it is fetching), the count of failed
// attempts in a row over all of them, the fetch count of each row, the
// bytes still to come of the downloads under way, and the rule that only
// one of them asks the user at a time.
//
// A lane's progress goes to its own row ("%u %% downloaded") and to the
// run's statistics, which add up the bytes of every lane.
//
// Thread safety: every member may be used from any thread; the lanes are
// made before the workers start and live as long as the crew.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "run/part_board.h"
#include "transfer/transfer_callback.h"

namespace brenvik {

class JobTable;
class ProgressStatistics;

class DownloadLane final : public ProgressSink {
 public:
  DownloadLane(const std::atomic<bool>& abort, JobTable& table, ProgressStatistics& statistics);

  TransferCallback& Callback() { return callback_; }
  const TransferCallback& Callback() const { return callback_; }

  // The row this lane fetches from now on (-1: none) and the bytes it
  // reserves on the disk for it until Leave. With `file_done`, the row
  // shows that count of `file_size` (a file coming in parts) instead of
  // this lane's own.
  void Enter(int row, uint64_t size, const std::atomic<uint64_t>* file_done = nullptr,
             uint64_t file_size = 0);
  void Leave();
  // Bytes of the reserved size that have not arrived yet.
  uint64_t BytesToCome() const;

  void ShowFileProgress(uint32_t percent) override;

 private:
  TransferCallback callback_;
  JobTable& table_;
  ProgressStatistics& statistics_;
  std::atomic<int> row_{-1};
  std::atomic<uint64_t> reserved_{0};
  std::atomic<const std::atomic<uint64_t>*> file_done_{nullptr};
  std::atomic<uint64_t> file_size_{0};
};

class DownloadCrew {
 public:
  // `lanes` workers' worth (at least one), of which `starting` start now.
  DownloadCrew(int lanes, int starting, const std::atomic<bool>& abort, JobTable& table,
               ProgressStatistics& statistics, int rows);
  DownloadCrew(const DownloadCrew&) = delete;
  DownloadCrew& operator=(const DownloadCrew&) = delete;

  DownloadLane& Lane(int lane) { return *lanes_[static_cast<size_t>(lane)]; }
  int LaneCount() const { return static_cast<int>(lanes_.size()); }
  // The transfer callbacks of all lanes, for the statistics.
  std::vector<const TransferCallback*> Callbacks() const;

  // Failed attempts in a row over all lanes: one more, returning the new
  // count; a good download or a Retry starts the count afresh.
  int CountFailure();
  int Failures() const;
  void ResetFailures();

  // Fetches of a row since its last Retry (it comes back for another fetch
  // only when its fresh file failed the check).
  int Fetches(int row) const;
  void CountFetch(int row);
  void ResetFetches(int row);

  // True once the row's next fetch must ask past any cache: a file fetched
  // before came back (it failed its check), or a body had the wrong size
  // (MarkStale), so a cache on the way may hold a stale copy.
  bool PastCaches(int row) const;
  void MarkStale(int row);

  // The files being fetched in parts.
  PartBoard& Parts() { return parts_; }
  // True once a row's server would not serve its parts: it comes whole.
  bool Unsplittable(int row) const;
  void MarkUnsplittable(int row);

  // Bytes still to come for the downloads under way in lanes other than
  // `except`: what the disk must hold besides a new file.
  uint64_t BytesInFlight(int except) const;

  // Held while a worker checks the disk space or asks the user anything, so
  // the questions of several workers come one after the other and each
  // worker decides with what the previous answer changed.
  std::mutex& QuestionMutex() { return question_mutex_; }

  // Called by each lane's worker as it leaves; true for the last one.
  bool LastToLeave() { return --running_ == 0; }
  // Counts one more worker before it starts; false once every worker has
  // left, when none may start any more.
  bool Join();

  // The user gave up: no lane fetches or asks anything more.
  void Close() { closing_.store(true); }
  bool Closing() const { return closing_.load(); }

 private:
  std::vector<std::unique_ptr<DownloadLane>> lanes_;
  std::atomic<int> failures_{0};
  mutable std::mutex fetch_mutex_;
  std::vector<int> fetches_;        // guarded by fetch_mutex_
  std::vector<char> stale_;         // guarded by fetch_mutex_
  std::vector<char> unsplittable_;  // guarded by fetch_mutex_
  PartBoard parts_;
  std::mutex question_mutex_;
  std::atomic<bool> closing_{false};
  std::atomic<int> running_;  // workers that have not left yet
};

}  // namespace brenvik
