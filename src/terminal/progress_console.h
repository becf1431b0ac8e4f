#pragma once
// The download run on the terminal.
//
// Both modes first print the caption and the location line. Then:
//
// Live mode (the output is a terminal): the bottom lines of the screen are
// kept for the run and redrawn in place: the title with the elapsed time,
// a window of job-table rows around the followed row that always takes in
// the row being downloaded, a progress bar of the
// verified bytes, the statistics line and a hint. The lines above scroll on
// their own, so questions and anything else written meanwhile appear there
// and the live area stays put. The area is given back on End (and by the
// destructor on any other way out).
//
// Line mode (the output is a file or a pipe): one line "name: status" each
// time a row's status changes, seen on the thread that changed it (the run
// driver's change listener, which Begin returns), so no change is missed,
// and printed with the next view (or at once when 64 KiB wait). The running percentages
// ("N % downloaded", "Checksumming N %") are left out: a log would hold little else. The fixed
// status-line messages ("All Done.", "There was an error in FileList.txt")
// are printed when they appear, after the last statistics line. The
// statistics line itself is printed every kStatisticsLogInterval, so a log
// of a long download shows how it goes. End prints the title with the
// elapsed time and, if the run did not finish, the last statistics line.
//
// The console is the terminal's RunFace: the run driver hands it a view
// after every look at the run.
//
// Threads: the face's thread, except the change listener in line mode,
// which runs on whichever thread changed the table and only prints.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "run/job_table.h"
#include "run/run_driver.h"

namespace brenvik {

class Console;

enum class ProgressMode { kLines, kLive };

// What the live area shows.
struct LiveView {
  std::string title;
  std::vector<JobRow> rows;
  int follow_row = -1;    // -1: none
  int download_row = -1;  // the download reporting progress, always shown; -1: none
  int row_window = 0;     // how many rows fit
  uint64_t verified_bytes = 0;
  uint64_t total_bytes = 0;
  std::string status_line;
  std::string hint;
};

// The live area's lines, none wider than `columns` - 1 display columns.
std::vector<std::string> RenderLiveView(const LiveView& view, int columns);
// The first row of a window of `window` rows out of `count` that keeps
// `follow` about in the middle (the end of the table when there is none),
// moved as little as needed to take in `download` as well (-1: none).
int FirstShownRow(int count, int window, int follow, int download = -1);
// The row of `rows` being downloaded: `current` (the table's current
// download row) once its download has reported progress, until its check
// begins; -1 otherwise.
int RunningDownloadRow(const std::vector<JobRow>& rows, int current);
// "[#####-----] 50 %" in `width` display columns.
std::string ProgressBar(uint64_t done, uint64_t total, int width);

class ProgressConsole final : public RunFace {
 public:
  // `statistics_every`: how often line mode prints the statistics line.
  ProgressConsole(Console& console, ProgressMode mode,
                  std::chrono::milliseconds statistics_every = kStatisticsLogInterval);
  // Gives the live area back if End did not.
  ~ProgressConsole() override;
  ProgressConsole(const ProgressConsole&) = delete;
  ProgressConsole& operator=(const ProgressConsole&) = delete;

  // Before the run starts: prints the caption and the location line. In
  // line mode it returns the listener to hand the run driver
  // (RunDriver::WatchChanges); none in live mode.
  std::function<void(const RunChange&)> Begin(const std::string& location_line);
  // Called often: redraws the live area when something changed (at most
  // every kRedrawInterval, and not while a question waits for its answer).
  void Refresh();
  // The run is over: the live area is drawn once more and given back; line
  // mode prints the closing lines.
  void End();

  // RunFace.
  void Show(RunView view) override;
  void KeepAlive() override;
  void Close(RunClose how) override;

  static constexpr std::chrono::milliseconds kRedrawInterval{100};
  static constexpr std::chrono::milliseconds kStatisticsLogInterval{10'000};

 private:
  struct LinePrinter;
  class LiveArea;

  void Draw(bool force);
  void TakeRows(RowUpdate update);

  Console& console_;
  ProgressMode mode_;
  std::shared_ptr<LinePrinter> printer_;  // shared with the change listener
  std::unique_ptr<LiveArea> live_;
  int live_window_ = 0;  // rows the live area has room for
  std::string title_;
  int follow_row_ = -1;
  int download_row_ = -1;
  uint64_t verified_bytes_ = 0;
  uint64_t total_bytes_ = 0;
  std::string status_line_;
  std::string hint_;
  bool ended_ = false;
  bool dirty_ = true;
  bool aborting_shown_ = false;
  std::vector<JobRow> rows_;  // live mode: the table as the views told it
  std::chrono::steady_clock::time_point last_draw_{};
  std::chrono::milliseconds statistics_every_;
  std::chrono::steady_clock::time_point last_statistics_{};
};

}  // namespace brenvik
