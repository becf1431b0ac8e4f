// The window face: the prompt and folder picker of the desktop, and the
// wizard framed by start-up.

#include "win32/win32_face.h"

#include <commctrl.h>
#include <objbase.h>

#include <memory>

#include "platform/prompt.h"
#include "platform/windows_error.h"
#include "run/run_engine.h"
#include "session/exit_status.h"
#include "session/session.h"
#include "win32/folder_picker.h"
#include "win32/progress_page.h"
#include "win32/setup_page.h"
#include "win32/speed_limit_box.h"
#include "win32/win32_prompt.h"

namespace brenvik {

namespace {

// The message when a page's window cannot be made (the templates are
// missing from the program, or the system refuses the window).
constexpr const char* kPageNotOpened = "Brenvik could not open its window: %s.";

// COM for this thread (the folder dialog needs it) and the common controls
// (list view, progress bar, tooltips), for as long as the wizard runs.
class WindowThread {
 public:
  WindowThread() {
    const HRESULT com =
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    com_initialised_ = SUCCEEDED(com);
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES |
                     ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);
  }
  ~WindowThread() {
    if (com_initialised_) ::CoUninitialize();
  }
  WindowThread(const WindowThread&) = delete;
  WindowThread& operator=(const WindowThread&) = delete;

 private:
  bool com_initialised_ = false;
};

void ReportNotOpened(Prompt& prompt, DWORD error) {
  const std::string cause = WindowsErrorText(error);
  prompt.Ask(Format(kPageNotOpened, cause.c_str()), PromptButtons::kOk, PromptIcon::kStop);
}

std::function<void(HWND)> Observe(const Win32PageObserver& observer, Win32Page page) {
  if (!observer) return {};
  return [observer, page](HWND window) { observer(page, window); };
}

}  // namespace

int RunWin32Wizard(Session& session, TransferCallback& callback, Prompt& prompt,
                   const Win32PageObserver& observer) {
  const WindowThread window_thread;
  bool succeeded = false;
  DWORD not_opened = ERROR_SUCCESS;  // why a page could not be opened
  const auto asker = [&session, &prompt](HWND page) { AskSpeedLimit(page, session, prompt); };
  SetupPage setup(session.Setup(), callback, prompt, [&](const Handover& handover) -> INT_PTR {
    const std::unique_ptr<RunEngine> run = session.MakeRun(handover);
    ProgressPage page(*run, prompt);
    page.SetOpenHook(Observe(observer, Win32Page::kProgress));
    page.SetSpeedLimitAsker(asker);
    const INT_PTR result = page.Run();
    if (result == DialogPage::kNotOpened) not_opened = ::GetLastError();
    succeeded = run->Succeeded();
    return result;
  });
  setup.SetOpenHook(Observe(observer, Win32Page::kSetup));
  setup.SetSpeedLimitAsker(asker);
  if (setup.Run() == DialogPage::kNotOpened) not_opened = ::GetLastError();
  if (not_opened != ERROR_SUCCESS) ReportNotOpened(prompt, not_opened);
  return succeeded ? kExitSuccess : kExitCancelled;
}

int RunWin32Face(const SessionConfig& config) {
  Win32Prompt prompt;
  Win32FolderPicker picker;
  return RunWindowWizard(config, prompt, picker, [&](Session& session, TransferCallback& callback) {
    return RunWin32Wizard(session, callback, prompt);
  });
}

}  // namespace brenvik
