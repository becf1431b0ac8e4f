#pragma once
// The job table: one row per catalogue file (row index = catalogue index),
// plus an optional last row that starts the installer. It holds what the
// user sees of a run (each row's name, status and image, the status line,
// the order in which rows changed) and the run's work queue
// (run/work_queue.h), the only queue between the download workers, the
// verification worker and the engine, to which its queue operations
// forward. A state written here goes to both: the queue's is the one the
// workers go by, the row's the one a face shows.
//
// Thread safety: every operation is atomic and may be called from any thread.
// The rows have a lock of their own, apart from the queue's, so a face
// reading what changed never holds up a worker looking for work. Views read
// only what changed (ChangesSince), or install a change listener.
//
// Cost: a release may have 100,000 rows, so nothing a worker or a view does
// on every file or every tick scans the table: the queue's operations cost
// O(log n) or less, and the changes since a revision cost what changed.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "run/work_queue.h"
#include "texts/row_text.h"
#include "texts/statistics_text.h"

namespace brenvik {

// Index into the strip of four row images. A row's image follows its
// status: downloading and starting the installer show kBusy, checksumming
// kChecking, a passed check and a started installer kDone, an installer
// that failed kIdle; every other status keeps the image the row had (so a
// failed check still shows what it was doing).
enum class RowImage : int { kIdle = 0, kBusy = 1, kChecking = 2, kDone = 3 };

inline constexpr const char* kInstallerRowName = "Start Install.exe";

struct JobRow {
  std::string name;
  RowStatus status;  // texts/row_text.h turns it into the row's text
  RowImage image = RowImage::kIdle;
  JobState state = JobState::PendingDownload;
};

// What the run's status line holds.
enum class StatusLineKind {
  kNone,        // nothing yet
  kStatistics,  // "... kB of ... kB done, ..." (changes all the time)
  kMessage,     // a fixed text: "All Done.", "There was an error in FileList.txt"
};

struct StatusLineValue {
  std::string text;
  StatusLineKind kind = StatusLineKind::kNone;
  // The numbers the statistics line was formatted from (kStatistics).
  StatisticsValues statistics;
};

// What changed in the rows since a revision (JobTable::ChangesSince).
struct RowChanges {
  // The rows were inserted or cleared since then: read the whole table.
  bool whole_table = false;
  // Otherwise each changed row, topmost first, as it is now.
  std::vector<std::pair<int, JobRow>> rows;
  uint64_t revision = 0;  // what to pass next time
};

class JobTable {
 public:
  JobTable() = default;
  JobTable(const JobTable&) = delete;
  JobTable& operator=(const JobTable&) = delete;

  // Appends a row with the given name, image kIdle, status kNone (no text),
  // state PendingDownload and a size of 0; returns its index.
  int InsertRow(std::string name);
  // The bytes each row counts for in StateBytes, by row (rows beyond the
  // vector count 0).
  void SetRowSizes(const std::vector<uint64_t>& sizes) { queue_.SetSizes(sizes); }
  StateBytes BytesByState() const { return queue_.BytesByState(); }
  // Removes every row (only before the workers start).
  void Clear();

  int RowCount() const;
  // A copy of the row (an empty one when there is no such row).
  JobRow Row(int row) const;
  std::vector<JobRow> Snapshot() const;
  // The state codes of all rows, in row order (no texts copied, but O(n)).
  std::vector<JobState> States() const { return queue_.States(); }
  // The rows changed after `revision` (a value of Revision()).
  RowChanges ChangesSince(uint64_t revision) const;

  // Writes one state code to the queue (waking the worker it gives work
  // to) and to the row.
  void SetState(int row, JobState state);
  // Gives the row its status and, in the same step, the image that status
  // brings (see RowImage).
  void SetStatus(int row, RowStatus status);

  // The queue's Take, Release and CurrentDownloadRow (run/work_queue.h).
  int TakeDownload();
  void ReleaseDownload(int row);
  int CurrentDownloadRow() const { return queue_.CurrentDownloadRow(); }

  // The run's one-line status: a fixed message ("All Done.") or the
  // statistics line ("... kB of ... kB done, ...").
  void SetStatusLine(std::string message);
  // The statistics, kept as numbers and as the line texts/ formats from them.
  void SetStatistics(const StatisticsValues& statistics);
  std::string StatusLine() const;
  StatusLineValue StatusLineWithKind() const;

  // First row whose state is `state`, or -1.
  int FirstInState(JobState state) const { return queue_.FirstInState(state); }
  // First row whose state is below Verified (CheckDone included), or -1.
  int FirstUnfinished() const { return queue_.FirstUnfinished(); }

  using WaitEnd = WorkQueue::WaitEnd;
  // See WorkQueue.
  void WakeWaiters() const { queue_.WakeWaiters(); }
  void CallIdleDownloadWorkers() { queue_.CallIdleDownloadWorkers(); }
  WaitEnd WaitForWork(JobState work, uint64_t seen, std::chrono::milliseconds timeout,
                      std::stop_token stop) const {
    return queue_.WaitForWork(work, seen, timeout, stop);
  }
  uint64_t StateRevision() const { return queue_.StateRevision(); }
  void WaitUntilAllFinished(uint64_t seen, std::chrono::milliseconds timeout) const {
    queue_.WaitUntilAllFinished(seen, timeout);
  }

  // Grows with every change of any kind; views compare it to redraw.
  uint64_t Revision() const;

  // What a change listener is told: the row that changed, or one of these.
  static constexpr int kWholeTable = -1;     // rows were cleared
  static constexpr int kStatusLineRow = -2;  // the status line changed
  // Called after every change of a row or of the status line, on the thread
  // that made it, outside the lock. (A new current download row only bumps
  // Revision().)
  void SetChangeListener(std::function<void(int row)> listener);

 private:
  void Changed(std::unique_lock<std::mutex>& lock, int row);
  void LogChange(int row);  // under the lock
  bool Valid(int row) const { return row >= 0 && static_cast<size_t>(row) < rows_.size(); }

  WorkQueue queue_;
  mutable std::mutex rows_mutex_;  // guards everything below
  std::vector<JobRow> rows_;
  // When each row last changed.
  std::vector<uint64_t> changed_at_;
  // (revision, row) of every change, in revision order; older entries of a
  // row that changed again are dropped from time to time.
  std::vector<std::pair<uint64_t, int>> change_log_;
  uint64_t reset_at_ = 0;  // the revision of the last insert or clear
  StatusLineValue status_line_;
  uint64_t revision_ = 0;
  std::function<void(int)> listener_;
};

}  // namespace brenvik
