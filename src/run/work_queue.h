#pragma once
// The work queue of a run: each row's state code and what the workers need
// to find their next row, apart from what a face sees of the rows (the job
// table, run/job_table.h, which holds one of these and forwards to it).
// A download worker takes a row (Take) so that no other fetches it at the
// same time, and hands it back (Release) when it is done with it.
//
// Cost: a release may have 100,000 rows, so nothing here scans them. Beside
// the state codes the queue keeps the rows of each state in order, the rows
// free to download, the rows held and the bytes in each state: taking the
// next row, finding the next check or the first unfinished row and the byte
// sums cost O(log n) or less.
//
// Thread safety: every operation is atomic and may be called from any
// thread. A worker that needs to wait for work blocks in WaitForWork, which
// a write that gives it work ends at once.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <stop_token>
#include <vector>

namespace brenvik {

enum class JobState : uint32_t {
  PendingDownload = 0,
  PendingCheck = 1,
  CheckDone = 2,
  Verified = 3,
  InstallerRow = 4,
};

// The bytes of the rows in each state (see WorkQueue::SetSizes).
struct StateBytes {
  uint64_t verified = 0;     // Verified
  uint64_t to_download = 0;  // PendingDownload, the rows being fetched included
  uint64_t to_check = 0;     // PendingCheck and CheckDone
};

class WorkQueue {
 public:
  WorkQueue() = default;
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // Appends a row in state PendingDownload, free to take, of size 0.
  void AddRow();
  // Removes every row (only before the workers start).
  void Clear();
  int RowCount() const;
  // The bytes each row counts for in StateBytes, by row (rows beyond the
  // vector count 0).
  void SetSizes(const std::vector<uint64_t>& sizes);
  StateBytes BytesByState() const;

  // Writes one state code and wakes the worker it gives work to.
  void SetState(int row, JobState state);
  // The state codes of all rows, in row order (O(n)).
  std::vector<JobState> States() const;

  // Takes the topmost PendingDownload row that no download worker holds,
  // for the caller; -1 when there is none.
  int Take();
  // Hands a taken row back; a waiting worker wakes when the row is
  // PendingDownload again (its check failed while it was held).
  void Release(int row);
  // The topmost row a download worker holds now, -1 when none.
  int CurrentDownloadRow() const;

  // First row whose state is `state`, or -1.
  int FirstInState(JobState state) const;
  // First row whose state is below Verified (CheckDone included), or -1.
  int FirstUnfinished() const;

  // Why a wait ended.
  enum class WaitEnd { kChanged, kStopped, kTimedOut };
  // Blocks until a row may have become work of the kind `work` names
  // (PendingDownload: a row became PendingDownload or was released by a
  // download worker; PendingCheck: a row became PendingCheck; rows added or
  // cleared: both), the timeout passes or a stop is requested (noticed at
  // once when the stopper calls WakeWaiters after requesting it). Other
  // state writes wake nobody: a finished check does not send every download
  // worker looking for work. Returns at once when a state code changed
  // since `seen` (a value of StateRevision()), or the idle download workers
  // were called (CallIdleDownloadWorkers). A change or stop noticed only
  // when the timeout ran out counts as kTimedOut: the wake-up did not happen.
  WaitEnd WaitForWork(JobState work, uint64_t seen, std::chrono::milliseconds timeout,
                      std::stop_token stop) const;
  // Wakes every worker waiting in WaitForWork, so that each one looks at its
  // stop token again: called after a stop is requested.
  void WakeWaiters() const;
  // Ends the wait of every download worker waiting for work, as a state
  // change would (StateRevision moves): a worker that opens a large file
  // for parts calls the idle ones, so that they come to take its parts
  // instead of sleeping out their pause (one row wakes only one worker).
  void CallIdleDownloadWorkers();
  // Blocks until every row is Verified (or the installer's), by a state
  // change after `seen` (a value of StateRevision()), or the timeout
  // passes: a face that looks at the run on a timer sees its end at once.
  void WaitUntilAllFinished(uint64_t seen, std::chrono::milliseconds timeout) const;
  uint64_t StateRevision() const;

 private:
  bool Valid(int row) const { return row >= 0 && static_cast<size_t>(row) < states_.size(); }
  // Moves a row between the state indexes; under the lock.
  void Index(int row, JobState from, JobState to);
  // No row below Verified; under the lock.
  bool AllFinished() const;
  uint64_t SizeOf(int row) const;
  static size_t Slot(JobState state) { return static_cast<size_t>(state); }

  mutable std::mutex mutex_;
  // Woken when a row may be work for the download workers, and for the
  // verification worker.
  // Plain condition variables: a wait tied to a stop token registers a
  // stop_callback, whose removal racing request_stop deadlocked under
  // MinGW's thread library; WakeWaiters stands in for that callback.
  mutable std::condition_variable download_work_;
  mutable std::condition_variable check_work_;
  mutable std::condition_variable all_finished_;
  std::vector<JobState> states_;
  std::array<std::set<int>, 5> in_state_;  // per state code, its rows
  std::set<int> free_downloads_;           // PendingDownload and not held
  std::set<int> held_;                     // held by a download worker
  std::vector<uint64_t> sizes_;
  std::array<uint64_t, 5> bytes_in_state_{};
  uint64_t state_revision_ = 0;
};

}  // namespace brenvik
