#pragma once
// The progress page ("Step 2 / 2", dialog template IDD_PROGRESS_PAGE):
// starts the run and watches it.
//
// Opened, the page starts the run engine (the table is filled, the folder
// stored, the workers started). A timer (IDT_PROGRESS_TICK, every kPollMs)
// polls the run: the list and the status line follow the table, the row
// being downloaded is kept in view whenever its download reports progress,
// a worker's question gets its message box, and a worker's request is
// carried out (a close request ends the page as Cancel does, a quit request
// ends it at once with kQuitResult). Every 500 ms the run ticks inside the
// poll: the elapsed time goes into the title, the first unfinished row is
// kept in view, the progress bar moves, and at the end "All Done." shows
// and Cancel turns into "Quit".
//
// Cancel, Quit, Escape and the close box run the abort wait: the title
// reads "Aborting, please wait...", Cancel is disabled, and the page keeps
// dispatching messages (so a worker's question still gets its box) until
// every worker has stopped; only then does the page end, with IDCANCEL.
// Enter (IDOK) does nothing while the run goes on, so a repeated or held
// key never stops a download; once the button reads "Quit" it ends the
// page as Quit does. A run still ticking when the wait ends gets one
// more tick first, so the continue-later message is shown once however
// short the wait was.
//
// Threads: the window thread only. The page never hears from the workers
// directly: it reads the thread-safe job table and the engine's pending
// question and request on its timer.

#include <windows.h>

#include <cstdint>
#include <memory>

#include "run/download_row_watch.h"
#include "run/run_engine.h"
#include "win32/dialog_furniture.h"
#include "win32/job_list.h"

namespace brenvik {

class Prompt;

class ProgressPage final : public DialogPage {
 public:
  static constexpr INT_PTR kQuitResult = IDABORT;
  // How often the page polls the run (the run ticks every 500 ms inside).
  static constexpr UINT kPollMs = 100;

  ProgressPage(RunEngine& run, Prompt& prompt);

  // Opens the page, starting the run, and returns once it has ended
  // (kNotOpened when it could not be made; the run is then not started).
  INT_PTR Run();

 private:
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) override;
  void OnInitDialog();
  void SetUpProgressBar();
  void OnPoll();
  // Cancel, Escape, the close box and a close request (IDCANCEL).
  void OnEndCommand(int command);
  // Enter (IDOK): nothing until the run is over, then Quit.
  void OnOkCommand();
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
  void End(INT_PTR result);

  RunEngine& run_;
  Prompt& prompt_;
  std::unique_ptr<JobList> list_;
  int progress_shift_ = 0;  // bytes are shifted right by this to fit the bar's int range
  bool waiting_ = false;
  bool ended_ = false;
  bool polling_ = false;      // a poll is under way (its message boxes dispatch the timer)
  int deferred_command_ = 0;  // an end command that came during a poll, for after it
  bool request_handled_ = false;
  bool ticks_over_ = false;  // a tick found the run finished or aborted
  bool run_over_ = false;    // the button reads "Quit"
  DownloadRowWatch download_watch_;
};

}  // namespace brenvik
