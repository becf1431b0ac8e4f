#pragma once
// The progress page ("Step 2 / 2"): starts the run and shows it.
//
// The page is a binder over the run driver (run/run_driver.h), which owns
// everything the run does: made, the page starts the run through it; every
// kPollMs its timer has the driver look at the run, and the page draws the
// view the driver hands back (title, rows, status line, progress bar, the
// button, the rows to keep in view). Cancel, Quit, Escape and closing the
// window are the driver's Cancel, Enter its Confirm; the driver ends the
// page (Close) with Rejected after the abort wait, or with kQuitResult at
// once on a worker's quit request. During the abort wait the page keeps
// processing events. When the run ends behind another window, the page
// tells the user (qt/run_end_notice.h).
//
// Threads: the GUI thread only.

#include <QDialog>
#include <QTimer>
#include <string>

#include "qt/job_table_model.h"
#include "qt/run_end_notice.h"
#include "run/run_driver.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeView;

namespace brenvik {

class Prompt;
class RunEngine;

class ProgressPage final : public QDialog, private RunFace {
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
  void Show(RunView view) override;
  void KeepAlive() override;
  void Close(RunClose how) override;

  JobTableModel model_;
  RunDriver driver_;
  QTimer poll_timer_;
  QTreeView* list_ = nullptr;
  QLabel* location_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* cancel_ = nullptr;
  RunEndNotice notice_;
  bool ended_ = false;
};

}  // namespace brenvik
