#include "win32/about_box.h"

#include "config/session_config.h"
#include "win32/dialog_furniture.h"
#include "win32/resource_ids.h"

namespace brenvik {

namespace {

class AboutBox final : public DialogPage {
 public:
  INT_PTR Run(HWND owner) { return RunModal(IDD_ABOUT, owner); }

 private:
  bool OnMessage(UINT message, WPARAM wparam, LPARAM, INT_PTR& result) override {
    if (message == WM_INITDIALOG) {
      ::SendDlgItemMessageW(Window(), IDC_ABOUT_ICON, STM_SETICON,
                            reinterpret_cast<WPARAM>(AppIcon(true)), 0);
      // The template's text is the same; the version comes from one place.
      SetItemText(Window(), IDC_ABOUT_NAME, AboutVersionLine());
      if (*kBuiltInPublisherKey == '\0') {
        ::ShowWindow(::GetDlgItem(Window(), IDC_ABOUT_UNSIGNED), SW_SHOW);
      }
      // Over the page, which is centred on the screen too.
      CentreOnScreen(Window());
      result = TRUE;
      return true;
    }
    if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
      ::EndDialog(Window(), IDOK);
      result = TRUE;
      return true;
    }
    return false;
  }
};

}  // namespace

void OpenAboutBox(HWND owner) {
  AboutBox box;
  box.Run(owner);
}

}  // namespace brenvik
