#include "win32/progress_page.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>

#include "platform/prompt.h"
#include "texts/printable_text.h"
#include "texts/run_texts.h"
#include "win32/resource_ids.h"

namespace brenvik {

ProgressPage::ProgressPage(RunEngine& run, Prompt& prompt) : run_(run), prompt_(prompt) {}

INT_PTR ProgressPage::Run() {
  const INT_PTR result = RunModal(IDD_PROGRESS_PAGE);
  list_.reset();
  return result;
}

bool ProgressPage::OnMessage(UINT message, WPARAM wparam, LPARAM, INT_PTR& result) {
  if (HandleFurniture(Window(), message, wparam, result)) return true;
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      result = TRUE;  // the first control, Cancel, gets the focus
      return true;
    case WM_TIMER:
      if (wparam != IDT_PROGRESS_TICK) return false;
      OnPoll();
      return true;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        OnOkCommand();
        return true;
      }
      if (LOWORD(wparam) != IDCANCEL) return false;
      OnEndCommand(IDCANCEL);
      return true;
    default:
      return false;
  }
}

void ProgressPage::OnInitDialog() {
  const HWND page = Window();
  AddPageFurniture(page);
  CentreOnScreen(page);
  SetItemText(page, IDC_LOCATION_LINE, PrintableText(run_.LocationLine()));
  list_ = std::make_unique<JobList>(::GetDlgItem(page, IDC_JOB_TABLE));

  run_.Start();

  ShowTable();
  SetUpProgressBar();
  AddTooltips(page,
              {{IDC_PROGRESS_BAR, kProgressTooltip},
               {IDC_JOB_TABLE, kTableTooltip},
               {IDCANCEL, kCancelTooltip}},
              prompt_);
  ::SetTimer(page, IDT_PROGRESS_TICK, kPollMs, nullptr);
}

void ProgressPage::SetUpProgressBar() {
  const uint64_t total = run_.TotalBytes();
  while (progress_shift_ < 63 && (total >> progress_shift_) > static_cast<uint64_t>(INT_MAX)) {
    ++progress_shift_;
  }
  // An empty range would leave the bar nothing to fill.
  const auto top = static_cast<LPARAM>(std::max<uint64_t>(1, total >> progress_shift_));
  ::SendDlgItemMessageW(Window(), IDC_PROGRESS_BAR, PBM_SETRANGE32, 0, top);
  ::SendDlgItemMessageW(Window(), IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
  ShowProgress(0);
}

void ProgressPage::ShowTable() {
  list_->Refresh(run_.table());
  SetItemText(Window(), IDC_STATUS_LINE, run_.table().StatusLine());
}

void ProgressPage::ShowProgress(uint64_t verified_bytes) {
  const uint64_t position =
      std::min<uint64_t>(verified_bytes >> progress_shift_, static_cast<uint64_t>(INT_MAX));
  ::SendDlgItemMessageW(Window(), IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void ProgressPage::OnPoll() {
  // A message box of this poll dispatches the timer again; the run waits
  // until the answer is in.
  if (polling_ || ended_) return;
  polling_ = true;
  const RunSnapshot snapshot = run_.Poll(WindowText(Window()));
  ShowTable();
  KeepDownloadInView();
  if (snapshot.question) AnswerQuestion(*snapshot.question);
  if (!request_handled_ && !ended_) HandleRequest(snapshot.request);
  if (snapshot.tick && !ticks_over_ && !ended_) ShowTick(*snapshot.tick);
  polling_ = false;
  if (deferred_command_ != 0 && !ended_) {
    ::PostMessageW(Window(), WM_COMMAND, static_cast<WPARAM>(deferred_command_), 0);
    deferred_command_ = 0;
  }
}

void ProgressPage::OnEndCommand(int command) {
  // A command that arrives while a poll's message box is up (a close
  // request posted just before the continue-later message) waits for the
  // box: ending the page now would take the box away unanswered.
  if (polling_) {
    deferred_command_ = command;
    return;
  }
  if (WaitForWorkers() && !ended_) End(command);
}

void ProgressPage::OnOkCommand() {
  // The page has no OK button, so IDOK is Enter. It must not stop a
  // download (people press Enter twice to confirm, or a held key repeats);
  // once the run is over and the button reads "Quit", it ends the page as
  // Quit does.
  if (run_over_) OnEndCommand(IDCANCEL);
}

void ProgressPage::AnswerQuestion(const Question& question) {
  run_.Answer(question.id, prompt_.Ask(question.text, question.buttons, question.icon));
}

void ProgressPage::HandleRequest(RunRequest request) {
  switch (request) {
    case RunRequest::kNone:
      break;
    case RunRequest::kClose:
      if (waiting_) break;  // already ending
      request_handled_ = true;
      // Posted, so the wait runs from the dialog's own loop, where this
      // timer keeps the list up to date meanwhile.
      ::PostMessageW(Window(), WM_COMMAND, IDCANCEL, 0);
      break;
    case RunRequest::kQuit:
      // The program ends at once; the run engine's end stops the workers.
      request_handled_ = true;
      End(kQuitResult);
      break;
  }
}

void ProgressPage::KeepDownloadInView() {
  if (const int row = download_watch_.RowToShow(run_.table(), list_->RowCount()); row >= 0) {
    list_->EnsureVisible(row);
  }
}

void ProgressPage::ShowTick(const TickReport& report) {
  SetText(Window(), report.title);
  ShowTable();
  if (!report.aborted) {
    if (report.follow_row >= 0) list_->FollowRow(report.follow_row);
    const bool installer_row = report.finished || report.installer_starting;
    if (installer_row && run_.InstallAfterDownload()) list_->EnsureVisible(list_->RowCount() - 1);
    ShowProgress(report.verified_bytes);
  }
  if (report.quit_button) {
    SetItemText(Window(), IDCANCEL, kQuitButton);
    run_over_ = true;
  }
  // Set before the message box, whose loop may run the abort wait.
  if (!report.keep_ticking) ticks_over_ = true;
  if (report.aborted) run_.ShowContinueLaterMessage();
}

bool ProgressPage::WaitForWorkers() {
  const HWND cancel = ::GetDlgItem(Window(), IDCANCEL);
  if (waiting_ || !::IsWindowEnabled(cancel)) return false;
  waiting_ = true;
  ::EnableWindow(cancel, FALSE);
  SetText(Window(), kAborting);
  // Messages keep flowing: the window must repaint, and the timer shows
  // the last tick.
  run_.WaitForWorkers([] { PumpMessages(); });
  // The last tick comes now, with the elapsed time in the title, and it
  // shows the continue-later message.
  if (!ticks_over_ && !ended_) ShowTick(run_.Tick(WindowText(Window())));
  ::EnableWindow(cancel, TRUE);
  waiting_ = false;
  return true;
}

void ProgressPage::End(INT_PTR result) {
  ended_ = true;
  ::KillTimer(Window(), IDT_PROGRESS_TICK);
  ::EndDialog(Window(), result);
}

}  // namespace brenvik
