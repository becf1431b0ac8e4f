#pragma once
// The job table: one row per catalogue file (row index = catalogue index),
// plus an optional last row that starts the installer. It is both what the
// user sees of a run and the only work queue between the download worker,
// the verification worker and the face.
//
// Thread safety: every operation is atomic and may be called from any thread.
// State-code writes go through the job mutex; a worker that needs to wait for
// work blocks in WaitForChange, which any state-code write ends at once.
// Views poll Revision() (cheap) or install a change listener.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

namespace brenvik {

enum class JobState : uint32_t {
  PendingDownload = 0,
  PendingCheck = 1,
  CheckDone = 2,
  Verified = 3,
  InstallerRow = 4,
};

// Index into the strip of four row images.
enum class RowImage : int { kIdle = 0, kBusy = 1, kChecking = 2, kDone = 3 };

inline constexpr const char* kInstallerRowName = "Start Install.exe";

struct JobRow {
  std::string name;
  std::string status;
  RowImage image = RowImage::kIdle;
  JobState state = JobState::PendingDownload;
};

class JobTable {
 public:
  JobTable() = default;
  JobTable(const JobTable&) = delete;
  JobTable& operator=(const JobTable&) = delete;

  // Appends a row with the given name, image kIdle, an empty status text and
  // state PendingDownload; returns its index.
  int InsertRow(std::string name);
  // Removes every row (only before the workers start).
  void Clear();

  int RowCount() const;
  JobState State(int row) const;
  std::string Name(int row) const;
  std::string Status(int row) const;
  RowImage Image(int row) const;
  JobRow Row(int row) const;
  std::vector<JobRow> Snapshot() const;
  // The state codes of all rows, in row order (cheap: no texts copied).
  std::vector<JobState> States() const;

  // Writes one state code under the job mutex and wakes waiting workers.
  void SetState(int row, JobState state);
  void SetStatus(int row, std::string text);
  void SetImage(int row, RowImage image);
  void SetStatusAndImage(int row, std::string text, RowImage image);

  // The row the download worker is downloading (-1 before the first).
  void SetCurrentDownloadRow(int row);
  int CurrentDownloadRow() const;

  // The run's one-line status ("... kB of ... kB done", "All Done.").
  void SetStatusLine(std::string text);
  std::string StatusLine() const;

  // First row whose state is PendingDownload / PendingCheck, or -1.
  int FirstInState(JobState state) const;

  // Why a wait ended.
  enum class WaitEnd { kChanged, kStopped, kTimedOut };
  // Blocks until a state code changes, the timeout passes or a stop is
  // requested. Returns at once when a state code changed since `seen`
  // (a value of StateRevision()). A change or stop noticed only when the
  // timeout ran out counts as kTimedOut: the wake-up did not happen.
  WaitEnd WaitForChange(uint64_t seen, std::chrono::milliseconds timeout,
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
  bool Valid(int row) const { return row >= 0 && static_cast<size_t>(row) < rows_.size(); }

  mutable std::mutex job_mutex_;
  mutable std::condition_variable_any state_changed_;
  std::vector<JobRow> rows_;
  std::string status_line_;
  int current_download_row_ = -1;
  uint64_t revision_ = 0;
  uint64_t state_revision_ = 0;
  std::function<void(int)> listener_;
};

}  // namespace brenvik
