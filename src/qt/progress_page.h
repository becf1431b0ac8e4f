#pragma once
// The progress page ("Step 2 / 2"): starts the run and watches it.
//
// Made, the page starts the run engine (the table is filled, the folder
// stored, both workers started). Every 500 ms a tick puts the elapsed time
// in the title, keeps the first unfinished row in view, moves the progress
// bar, and at the end shows "All Done." and turns Cancel into "Quit". The
// list and the status line follow the table every 100 ms; so does the row
// being downloaded, which is kept in view whenever its download reports
// progress; and so do the download worker's requests: a close request ends
// the page as Cancel does, a quit request ends it at once with kQuitResult.
//
// Cancel, Quit, Escape and closing the window run the abort wait: the
// title reads "Aborting, please wait...", Cancel is disabled, and the page
// keeps processing events (so a worker's question still gets its message
// box) until both workers have stopped; only then does the page end, with
// Rejected. Enter (the dialog's OK) does nothing while the run goes on, so
// a repeated or held key never stops a download; once the button reads
// "Quit" it ends the page as Quit does. A run still ticking when the wait ends gets
// one more tick first, so the continue-later message is shown once however
// short the wait was.
//
// Threads: the GUI thread only. The page never hears from the workers
// directly: it reads the thread-safe job table and the engine's pending
// request on its own timers.

#include <QDialog>
#include <QTimer>
#include <string>

#include "qt/job_table_model.h"
#include "run/download_row_watch.h"
#include "run/run_engine.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeView;

namespace brenvik {

class Prompt;
class RunEngine;

class ProgressPage final : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kQuitResult = -1;
  // How often the page polls the run (the run ticks every 500 ms inside).
  static constexpr int kPollMs = 100;

  ProgressPage(RunEngine& run, Prompt& prompt, QWidget* parent = nullptr);
  ~ProgressPage() override;

  // Keeps `row` of `view` in view, scrolling at most one row per call: rows
  // 0 to 2 are only made visible; a later row is made fully visible and,
  // when it lies below the middle of the view, the view scrolls down by one
  // more row, so a followed row drifts towards the middle as the run goes on.
  static void FollowRow(QTreeView& view, int row);

  QTreeView* List() const { return list_; }
  QLabel* LocationLine() const { return location_; }
  QLabel* StatusLine() const { return status_; }
  QProgressBar* ProgressBar() const { return progress_; }
  QPushButton* CancelButton() const { return cancel_; }

 public slots:
  void accept() override;
  void reject() override;
  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildControls();
  void OnPoll();
  void ShowTick(const TickReport& report);
  void HandleRequest(RunRequest request);
  void AnswerQuestion(const Question& question);
  void ShowTable();
  void ShowProgress(uint64_t verified_bytes);
  // Makes the row being downloaded visible when its download has reported
  // progress since the last look.
  void KeepDownloadInView();
  // False when a wait is running already or Cancel is disabled.
  bool WaitForWorkers();

  RunEngine& run_;
  Prompt& prompt_;
  JobTableModel model_;
  QTimer poll_timer_;
  QTreeView* list_ = nullptr;
  QLabel* location_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* cancel_ = nullptr;
  int progress_shift_ = 0;  // bytes are shifted right by this to fit the bar's int range
  bool waiting_ = false;
  bool ended_ = false;
  bool request_handled_ = false;
  bool ticks_over_ = false;  // a tick found the run finished or aborted
  bool run_over_ = false;    // the button reads "Quit"
  bool asking_ = false;      // a worker's question is on screen
  DownloadRowWatch download_watch_;
};

}  // namespace brenvik
