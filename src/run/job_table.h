#pragma once
// The job table: one row per catalogue file (row index = catalogue index),
// plus an optional last row that starts the installer. It is both what the
// user sees of a run and the only work queue between the download workers,
// the verification worker and the face. A download worker takes a row
// (TakeDownload) so that no other worker fetches it at the same time, and
// hands it back when it is done with it.
//
// Thread safety: every operation is atomic and may be called from any thread.
// State-code writes go through the job mutex; a worker that needs to wait for
// work blocks in WaitForWork, which a write that gives it work ends at once.
// Views poll Revision() (cheap) and read only what changed (ChangesSince), or
// install a change listener.
//
// Cost: a release may have 100,000 rows, so nothing a worker or a view does
// on every file or every tick scans the table. The table keeps, beside the
// rows, the rows of each state in order, the rows free to download, the
// rows held, the bytes in each state and the order in which rows changed:
// taking the next row, finding the next check or the first unfinished row,
// the byte sums and the changes since a revision cost O(log n) or less.

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

#include "texts/row_text.h"
#include "texts/statistics_text.h"

namespace brenvik {

enum class JobState : uint32_t {
  PendingDownload = 0,
  PendingCheck = 1,
  CheckDone = 2,
  Verified = 3,
  InstallerRow = 4,
};

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

// The bytes of the rows in each state (see JobTable::SetRowSizes).
struct StateBytes {
  uint64_t verified = 0;     // Verified
  uint64_t to_download = 0;  // PendingDownload, the rows being fetched included
  uint64_t to_check = 0;     // PendingCheck and CheckDone
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
  void SetRowSizes(const std::vector<uint64_t>& sizes);
  StateBytes BytesByState() const;
  // Removes every row (only before the workers start).
  void Clear();

  int RowCount() const;
  // A copy of the row (an empty one when there is no such row).
  JobRow Row(int row) const;
  std::vector<JobRow> Snapshot() const;
  // The state codes of all rows, in row order (no texts copied, but O(n)).
  std::vector<JobState> States() const;
  // The rows changed after `revision` (a value of Revision()).
  RowChanges ChangesSince(uint64_t revision) const;

  // Writes one state code under the job mutex and wakes the workers it
  // gives work to.
  void SetState(int row, JobState state);
  // Gives the row its status and, in the same step, the image that status
  // brings (see RowImage).
  void SetStatus(int row, RowStatus status);

  // Takes the topmost PendingDownload row that no download worker holds,
  // for the caller; -1 when there is none.
  int TakeDownload();
  // Hands a taken row back; a worker waiting for work wakes, since the row
  // may be PendingDownload again.
  void ReleaseDownload(int row);
  // The topmost row a download worker holds now, -1 when none.
  int CurrentDownloadRow() const;

  // The run's one-line status: a fixed message ("All Done.") or the
  // statistics line ("... kB of ... kB done, ...").
  void SetStatusLine(std::string message);
  // The statistics, kept as numbers and as the line texts/ formats from them.
  void SetStatistics(const StatisticsValues& statistics);
  std::string StatusLine() const;
  StatusLineValue StatusLineWithKind() const;

  // First row whose state is `state`, or -1.
  int FirstInState(JobState state) const;
  // First row whose state is below Verified (CheckDone included), or -1.
  int FirstUnfinished() const;

  // Why a wait ended.
  enum class WaitEnd { kChanged, kStopped, kTimedOut };
  // Blocks until a row may have become work of the kind `work` names
  // (PendingDownload: a row became PendingDownload or was released by a
  // download worker; PendingCheck: a row became PendingCheck; rows inserted
  // or cleared: both), the timeout passes or a stop is requested (noticed at
  // once when the stopper calls WakeWaiters after requesting it). Other
  // state writes wake nobody: a finished check does not send every download
  // worker looking for work. Returns at once when a state code changed
  // since `seen` (a value of StateRevision()). A change or stop noticed only
  // when the timeout ran out counts as kTimedOut: the wake-up did not happen.
  // Wakes every worker waiting in WaitForWork, so that each one looks at its
  // stop token again: called after a stop is requested.
  void WakeWaiters() const;
  WaitEnd WaitForWork(JobState work, uint64_t seen, std::chrono::milliseconds timeout,
                      std::stop_token stop) const;
  uint64_t StateRevision() const;

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
  // Moves a row between the state indexes; under the lock.
  void Index(int row, JobState from, JobState to);
  uint64_t SizeOf(int row) const;
  static size_t Slot(JobState state) { return static_cast<size_t>(state); }

  mutable std::mutex job_mutex_;
  // Woken when a row may be work for the download workers, and for the
  // verification worker.
  // Plain condition variables: a wait tied to a stop token registers a
  // stop_callback, whose removal racing request_stop deadlocked under
  // MinGW's thread library; WakeWaiters stands in for that callback.
  mutable std::condition_variable download_work_;
  mutable std::condition_variable check_work_;
  std::vector<JobRow> rows_;
  std::array<std::set<int>, 5> in_state_;  // per state code, its rows
  std::set<int> free_downloads_;           // PendingDownload and not held
  std::set<int> held_;                     // held by a download worker
  std::vector<uint64_t> sizes_;
  std::array<uint64_t, 5> bytes_in_state_{};
  // When each row last changed, and the rows in that order.
  std::vector<uint64_t> changed_at_;
  // (revision, row) of every change, in revision order; older entries of a
  // row that changed again are dropped from time to time.
  std::vector<std::pair<uint64_t, int>> change_log_;
  uint64_t reset_at_ = 0;  // the revision of the last insert or clear
  StatusLineValue status_line_;
  uint64_t revision_ = 0;
  uint64_t state_revision_ = 0;
  std::function<void(int)> listener_;
};

}  // namespace brenvik
