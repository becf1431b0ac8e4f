#include "win32/setup_page.h"

#include "texts/setup_texts.h"
#include "transfer/transfer_callback.h"
#include "win32/dpi_pictures.h"
#include "win32/resource_ids.h"

namespace brenvik {

SetupPage::SetupPage(SetupFlow& flow, TransferCallback& callback, Prompt& prompt, RunStep run_step)
    : flow_(flow), callback_(callback), prompt_(prompt), run_step_(std::move(run_step)) {}

SetupPage::~SetupPage() {
  callback_.SetIdleHook({});
  flow_.SetChangeListener({});
}

INT_PTR SetupPage::Run() {
  window_thread_ = ::GetCurrentThreadId();
  // Only the fetch on this thread may dispatch its messages; a transfer on
  // any other thread never does.
  callback_.SetIdleHook([this] {
    if (::GetCurrentThreadId() == window_thread_) PumpMessages();
  });
  const INT_PTR result = RunModal(IDD_SETUP_PAGE);
  callback_.SetIdleHook({});
  flow_.SetChangeListener({});
  return result;
}

bool SetupPage::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) {
  if (HandleFurniture(Window(), message, wparam, result)) return true;
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      result = TRUE;  // the dialog manager sets the focus
      return true;
    case WM_TIMER:
      if (wparam != IDT_SETUP_START) return false;
      OnStartTimer();
      return true;
    case WM_DPICHANGED:
      TakeSuggestedPlace(Window(), lparam);
      ShowFolderIcon(LOWORD(wparam));
      ::PostMessageW(Window(), kFitSidePicture, 0, 0);
      // The dialog manager scales the controls and the font as well.
      return false;
    case kFitSidePicture:
      ShowSidePicture(Window(), IDC_SETUP_SIDE_PICTURE);
      return true;
    case WM_COMMAND:
      return OnCommand(LOWORD(wparam), HIWORD(wparam));
    default:
      return false;
  }
}

void SetupPage::OnInitDialog() {
  const HWND page = Window();
  AddPageFurniture(page);
  ShowSidePicture(page, IDC_SETUP_SIDE_PICTURE);
  ShowFolderIcon(WindowDpi(page));

  flow_.SetChangeListener([this] { ShowState(); });
  ShowState();
  AddTooltips(page,
              {{IDC_BROWSE_BUTTON, kBrowseTooltip},
               {IDC_LOCATION_FIELD, kLocationTooltip},
               {IDC_INSTALL_BOX, kInstallTooltip},
               {IDOK, kNextTooltip},
               {IDCANCEL, kSetupCancelTooltip}},
              prompt_);
  CentreOnScreen(page);
  ::SetTimer(page, IDT_SETUP_START, kStartDelayMs, nullptr);
}

// The browse button's folder at its size for `dpi`.
void SetupPage::ShowFolderIcon(UINT dpi) const {
  ::SendDlgItemMessageW(Window(), IDC_BROWSE_BUTTON, BM_SETIMAGE, IMAGE_ICON,
                        reinterpret_cast<LPARAM>(LoadFolderIcon(dpi)));
}

bool SetupPage::OnCommand(int id, int notification) {
  switch (id) {
    case IDOK:
      // Enter reaches here even while Next is disabled.
      if (::IsWindowEnabled(::GetDlgItem(Window(), IDOK))) OnNext();
      return true;
    case IDCANCEL:
      // Escape and the close box too: nothing while Cancel is disabled
      // (during the fetch).
      if (::IsWindowEnabled(::GetDlgItem(Window(), IDCANCEL))) ::EndDialog(Window(), IDCANCEL);
      return true;
    case IDC_BROWSE_BUTTON:
      if (notification == BN_CLICKED) flow_.Browse();
      return true;
    case IDC_INSTALL_BOX:
      if (notification == BN_CLICKED) {
        flow_.SetInstallChecked(::IsDlgButtonChecked(Window(), IDC_INSTALL_BOX) == BST_CHECKED);
      }
      return true;
    default:
      return false;
  }
}

void SetupPage::ShowState() {
  const HWND page = Window();
  if (page == nullptr) return;
  const SetupState& state = flow_.State();
  SetItemText(page, IDC_SETUP_INFO, state.info_text);
  SetItemText(page, IDC_LOCATION_FIELD, state.location);
  EnableItem(page, IDOK, state.next_enabled);
  EnableItem(page, IDCANCEL, state.cancel_enabled);
  EnableItem(page, IDC_BROWSE_BUTTON, state.browse_enabled);
  EnableItem(page, IDC_INSTALL_BOX, state.install_enabled);
  ::CheckDlgButton(page, IDC_INSTALL_BOX, state.install_checked ? BST_CHECKED : BST_UNCHECKED);
}

void SetupPage::OnStartTimer() {
  // Once only: the fetch below dispatches messages, and this timer must not
  // start a second one.
  ::KillTimer(Window(), IDT_SETUP_START);
  switch (flow_.FetchCatalogue()) {
    case FetchOutcome::kReady:
      // The buttons were disabled while the focus was on them; Enter now
      // means Next.
      if (::IsWindowEnabled(::GetDlgItem(Window(), IDOK))) {
        ::SendMessageW(Window(), WM_NEXTDLGCTL,
                       reinterpret_cast<WPARAM>(::GetDlgItem(Window(), IDOK)), TRUE);
      }
      break;
    case FetchOutcome::kGaveUp:
      break;
    case FetchOutcome::kQuit:
      ::EndDialog(Window(), kQuitResult);
      break;
  }
}

void SetupPage::OnNext() {
  const std::optional<Handover> handover = flow_.Next();
  if (!handover) return;  // no room there: the page stays as it was
  ::ShowWindow(Window(), SW_HIDE);
  const INT_PTR result = run_step_(*handover);
  ::EndDialog(Window(), result == IDOK ? IDOK : IDCANCEL);
}

}  // namespace brenvik
