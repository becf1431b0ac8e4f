#include "win32/progress_page.h"

#include <commctrl.h>

#include "platform/prompt.h"
#include "texts/printable_text.h"
#include "texts/run_texts.h"
#include "win32/dpi_pictures.h"
#include "win32/resource_ids.h"

namespace brenvik {

ProgressPage::ProgressPage(RunEngine& run, Prompt& prompt)
    : prompt_(prompt), driver_(run, prompt, *this) {}

INT_PTR ProgressPage::Run() {
  const INT_PTR result = RunModal(IDD_PROGRESS_PAGE);
  list_.reset();
  return result;
}

bool ProgressPage::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) {
  if (HandleFurniture(Window(), message, wparam, result)) return true;
  if (message != 0 && message == TaskbarProgress::ButtonCreatedMessage()) {
    taskbar_.ButtonCreated(Window());
    return true;
  }
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      result = TRUE;  // the first control, Cancel, gets the focus
      return true;
    case WM_TIMER:
      if (wparam != IDT_PROGRESS_TICK) return false;
      driver_.Poll();
      return true;
    case WM_DPICHANGED:
      TakeSuggestedPlace(Window(), lparam);
      if (list_) list_->ChangeDpi(LOWORD(wparam));
      ::PostMessageW(Window(), kFitSidePicture, 0, 0);
      // The dialog manager scales the controls and the font as well.
      return false;
    case kFitSidePicture:
      ShowSidePicture(Window(), IDC_PROGRESS_SIDE_PICTURE);
      return true;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        driver_.Confirm();
        return true;
      }
      if (LOWORD(wparam) != IDCANCEL) return false;
      driver_.Cancel();
      return true;
    default:
      return false;
  }
}

void ProgressPage::OnInitDialog() {
  const HWND page = Window();
  AddPageFurniture(page);
  ShowSidePicture(page, IDC_PROGRESS_SIDE_PICTURE);
  CentreOnScreen(page);
  SetItemText(page, IDC_LOCATION_LINE, PrintableText(driver_.LocationLine()));
  list_ = std::make_unique<JobList>(::GetDlgItem(page, IDC_JOB_TABLE));
  ::SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
  TaskbarProgress::AcceptButtonCreated(page);

  driver_.Start();

  AddTooltips(page,
              {{IDC_PROGRESS_BAR, kProgressTooltip},
               {IDC_JOB_TABLE, kTableTooltip},
               {IDCANCEL, kCancelTooltip}},
              prompt_);
  ::SetTimer(page, IDT_PROGRESS_TICK, kPollMs, nullptr);
}

void ProgressPage::Show(RunView view) {
  if (ended_) return;
  const HWND page = Window();
  SetText(page, view.title);
  list_->Apply(std::move(view.rows));
  SetItemText(page, IDC_STATUS_LINE, view.status_line);
  if (view.progress_range != progress_range_) {
    progress_range_ = view.progress_range;
    ::SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0,
                          static_cast<LPARAM>(progress_range_));
  }
  ::SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(view.progress), 0);
  if (view.follow_row >= 0) list_->FollowRow(view.follow_row);
  if (view.show_row >= 0 && view.show_row < list_->RowCount()) list_->EnsureVisible(view.show_row);
  SetItemText(page, IDCANCEL, view.button);
  ::EnableWindow(::GetDlgItem(page, IDCANCEL), view.button_enabled ? TRUE : FALSE);
  taskbar_.Show(page, view);
  // The run is over, however it ended: a page the user turned away from
  // flashes its taskbar button until it comes to the front.
  if (view.phase != RunPhase::kRunning && !told_over_) {
    told_over_ = true;
    if (::GetForegroundWindow() != page) {
      FLASHWINFO flash{sizeof flash, page, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
      ::FlashWindowEx(&flash);
    }
  }
}

void ProgressPage::KeepAlive() { PumpMessages(); }

void ProgressPage::Close(RunClose how) {
  ended_ = true;
  ::KillTimer(Window(), IDT_PROGRESS_TICK);
  ::EndDialog(Window(), how == RunClose::kQuit ? kQuitResult : IDCANCEL);
}

}  // namespace brenvik
