#pragma once
// The run driver: the one place that drives a run for a face. It starts the
// run engine, looks at it whenever the face's timer asks (Poll), answers the
// workers' questions through the face's prompt, carries out the workers'
// requests, keeps the title's elapsed time, the progress share and the rows
// to keep in view, runs the abort wait and shows the continue-later message;
// after each look it hands the face a RunView (run/run_view.h) to draw.
// The Qt page, the Win32 page, the terminal face and the tests all drive
// their runs through it, so they behave alike.
//
// The user's actions come back as calls: Cancel (the button, Escape, the
// close box, Ctrl-C) and Confirm (Enter). Enter does nothing while the run
// goes on, so a repeated or held key never stops a download; once the
// button reads "Quit" it ends the page as Quit does.
//
// Cancel runs the abort wait: the title reads "Aborting, please wait...",
// the button is disabled, and the face is kept alive (RunFace::KeepAlive,
// and a view of what changed) until every worker has stopped. A run still
// ticking then gets one more tick, so the continue-later message is shown
// once however short the wait was; then the face is closed. A Cancel that
// comes while a question's or a message's box is up (its loop lets the
// face's input through) waits until the box is answered, so no box is taken
// away unanswered. A worker's close request ends the run as Cancel does;
// its quit request closes the face at once, without the abort wait (the
// engine's end stops the workers).
//
// Threads: the face's thread only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "run/run_view.h"

namespace brenvik {

class Prompt;
class RunEngine;
struct TickReport;

// How the face's page ends.
enum class RunClose {
  kCancelled,  // after the abort wait: Cancel, Quit, a worker's close request
  kQuit,       // a worker asked to end the program at once
};

// What the driver needs of a face.
class RunFace {
 public:
  virtual ~RunFace() = default;
  // Draws the view (the face may keep its rows).
  virtual void Show(RunView view) = 0;
  // Lets the face repaint and take input during the abort wait; called
  // every few milliseconds.
  virtual void KeepAlive() = 0;
  // The face's page ends; called once, and nothing is shown after it.
  virtual void Close(RunClose how) = 0;
};

// A change of a row or of the status line, told as it happens (for a log
// that must not miss a step), on the thread that made it.
struct RunChange {
  // The rows that changed (every row when the table was filled or cleared).
  std::vector<std::pair<int, JobRow>> rows;
  // Set when the status line changed.
  std::optional<StatusLineValue> status_line;
};

class RunDriver {
 public:
  RunDriver(RunEngine& run, Prompt& prompt, RunFace& face);
  RunDriver(const RunDriver&) = delete;
  RunDriver& operator=(const RunDriver&) = delete;

  // "Location: ..." for the page before the run starts.
  std::string LocationLine() const;
  // Starts the run and shows the first view: every row.
  void Start();
  // Looks at the run: the face calls it on a timer (every 100 ms or so).
  void Poll();
  // Until the run's last row finishes or the timeout passes: for a face
  // that polls from a loop of its own rather than a timer.
  void WaitForEnd(std::chrono::milliseconds timeout) const;
  // Cancel, Quit, Escape, the close box.
  void Cancel();
  // Enter.
  void Confirm();

  // Told every change of a row or the status line as it happens, on the
  // thread that made it, from before Start until the driver goes.
  void WatchChanges(std::function<void(const RunChange&)> listener);

  bool Over() const { return phase_ != RunPhase::kRunning; }
  bool Closed() const { return closed_; }
  // Every file verified and, when asked, the installer started.
  bool Succeeded() const;

  // `title` cut before its first " -" and " - HH:MM:SS" of `elapsed`
  // seconds appended (hours beyond whole days).
  static std::string TitleWithElapsed(const std::string& title, int64_t elapsed);

 private:
  // A view of what changed since the last one.
  RunView NextView();
  void ApplyTick(const TickReport& report, RunView& view);
  // The button, the phase and the progress as they stand now.
  void Finish(RunView& view) const;
  RunOutcome Outcome() const;
  // The download row to bring into view: when its download has reported
  // progress since the last look, so a user who scrolled away is pulled
  // back only by news; -1 otherwise.
  int DownloadRowToShow(int row);
  void CloseFace(RunClose how);

  RunEngine& run_;
  Prompt& prompt_;
  RunFace& face_;
  std::string title_;
  RunPhase phase_ = RunPhase::kRunning;
  int progress_shift_ = 0;  // bytes shifted right by this fit the bar's int range
  int progress_ = 0;
  uint64_t verified_ = 0;
  uint64_t rows_revision_ = 0;
  bool rows_read_ = false;
  int row_count_ = 0;
  int download_seen_ = -1;  // the download row last brought into view
  RowStatus download_status_seen_;
  bool busy_ = false;            // a poll or a box of this driver is under way
  bool waiting_ = false;         // the abort wait is under way
  bool cancel_pending_ = false;  // a Cancel came while busy
  bool cancel_asked_ = false;    // Cancel was called, by the user or for a worker
  bool gave_up_ = false;         // a worker's close request: a download was given up
  bool ticks_over_ = false;      // a tick found the run finished or aborted
  bool closed_ = false;
};

}  // namespace brenvik
