#pragma once
// What a face shows of a run, as values: the run driver (run/run_driver.h)
// hands one to the face after every look at the run, and the face draws it
// without reading anything else of the run.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "run/job_table.h"
#include "texts/statistics_text.h"

namespace brenvik {

// The rows that differ from what the face was last told.
struct RowUpdate {
  // True: `all` holds every row of the table, in order; show exactly these.
  bool whole_table = false;
  std::vector<JobRow> all;
  // Otherwise each row changed since the last view, topmost first, as it
  // is now.
  std::vector<std::pair<int, JobRow>> rows;
};

enum class RunPhase {
  kRunning,   // Cancel stops the run
  kFinished,  // every row done ("All Done."): the button reads "Quit"
  kAborted,   // the run was stopped: the button reads "Quit"
};

// How a run ended, for the faces that tell the user (a notification, the
// taskbar button).
enum class RunOutcome {
  kNone,             // the run goes on
  kComplete,         // every file verified (and the installer started when asked)
  kInstallerFailed,  // every file verified, but the installer did not start
  kFailed,           // a download given up, a catalogue or folder that would not do
  kCancelled,        // the user stopped the run
};

struct RunView {
  // The window title: the caption and the elapsed time, or
  // "Aborting, please wait..." during the abort wait.
  std::string title;
  // The one button: "Cancel", "Quit" once the run is over; disabled during
  // the abort wait.
  std::string button;
  bool button_enabled = true;
  bool aborting = false;  // the abort wait is under way
  RunPhase phase = RunPhase::kRunning;
  RunOutcome outcome = RunOutcome::kNone;  // set once the phase is no longer kRunning

  RowUpdate rows;
  int row_count = 0;
  // The status line: the statistics or a fixed message ("All Done.").
  std::string status_line;
  // The statistics as numbers, while the status line shows them.
  std::optional<StatisticsValues> statistics;

  // The verified bytes of the total, and the same share as a position in
  // [0, progress_range] for a bar whose range is an int.
  uint64_t verified_bytes = 0;
  uint64_t total_bytes = 0;
  int progress = 0;
  int progress_range = 1;

  // The view came with a tick (every 500 ms): the elapsed time moved on.
  bool tick = false;
  // Set on a tick: the first unfinished row, kept in view and drifting
  // towards the middle as the run goes on; -1 for none.
  int follow_row = -1;
  // A row to make visible now: the download that reported progress since
  // the last view, or the installer row once its start is under way; -1
  // for none.
  int show_row = -1;
  // The topmost row being downloaded, whether or not it has news; -1 for none.
  int download_row = -1;
};

}  // namespace brenvik
