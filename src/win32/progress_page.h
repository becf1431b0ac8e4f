#pragma once
// The progress page ("Step 2 / 2", dialog template IDD_PROGRESS_PAGE):
// starts the run and shows it.
//
// The page is a binder over the run driver (run/run_driver.h), which owns
// everything the run does: opened, the page starts the run through it; a
// timer (IDT_PROGRESS_TICK, every kPollMs) has the driver look at the run,
// and the page draws the view the driver hands back (title, rows, status
// line, progress bar, the button, the rows to keep in view). Cancel, Quit,
// Escape and the close box (IDCANCEL) are the driver's Cancel, Enter (IDOK)
// its Confirm; the driver ends the page (Close) with IDCANCEL after the
// abort wait, or with kQuitResult at once on a worker's quit request.
// During the abort wait the page keeps dispatching messages. The page's
// taskbar button shows the run's share (win32/taskbar_progress.h).
//
// Threads: the window thread only.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "run/run_driver.h"
#include "win32/dialog_furniture.h"
#include "win32/job_list.h"
#include "win32/taskbar_progress.h"

namespace brenvik {

class Prompt;

class ProgressPage final : public DialogPage, private RunFace {
 public:
  static constexpr INT_PTR kQuitResult = IDABORT;
  // How often the page polls the run (the run ticks every 500 ms inside).
  static constexpr UINT kPollMs = 100;

  ProgressPage(RunEngine& run, Prompt& prompt);

  // Opens the page, starting the run, and returns once it has ended
  // (kNotOpened when it could not be made; the run is then not started).
  INT_PTR Run();
  // Where the run's share goes instead of the taskbar button (tests).
  void SetTaskbarSink(TaskbarProgress::Sink sink) { taskbar_.SetSink(std::move(sink)); }

 private:
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) override;
  void OnInitDialog();
  void Show(RunView view) override;
  void KeepAlive() override;
  void Close(RunClose how) override;

  Prompt& prompt_;
  RunDriver driver_;
  std::unique_ptr<JobList> list_;
  TaskbarProgress taskbar_;
  int progress_range_ = -1;  // the bar's range as last set
  bool ended_ = false;
  bool told_over_ = false;  // the end of the run was signalled
};

}  // namespace brenvik
