#include "win32/dialog_furniture.h"

#include <commctrl.h>

#include <vector>

#include "platform/prompt.h"
#include "platform/wide_text.h"
#include "win32/about_box.h"
#include "win32/resource_ids.h"

namespace brenvik {

namespace {

HINSTANCE Program() { return ::GetModuleHandleW(nullptr); }

// The icon drawn in the middle of a minimized page's client area.
void PaintMinimized(HWND page) {
  PAINTSTRUCT paint;
  const HDC dc = ::BeginPaint(page, &paint);
  ::SendMessageW(page, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  ::GetClientRect(page, &client);
  const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
  ::DrawIcon(dc, x, y, AppIcon(true));
  ::EndPaint(page, &paint);
}

}  // namespace

INT_PTR DialogPage::RunModal(int template_id, HWND owner) {
  return ::DialogBoxParamW(Program(), MAKEINTRESOURCEW(template_id), owner, Procedure,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK DialogPage::Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DialogPage* page = nullptr;
  if (message == WM_INITDIALOG) {
    page = reinterpret_cast<DialogPage*>(lparam);
    ::SetWindowLongPtrW(window, DWLP_USER, lparam);
    page->window_ = window;
  } else {
    page = reinterpret_cast<DialogPage*>(::GetWindowLongPtrW(window, DWLP_USER));
  }
  // Messages before WM_INITDIALOG (the font, the first sizes) are the
  // dialog manager's.
  if (page == nullptr) return FALSE;
  if (page->speed_limit_asker_ && message == WM_SYSCOMMAND &&
      (wparam & 0xFFF0) == IDM_SPEED_LIMIT_ENTRY) {
    page->speed_limit_asker_(window);
    return TRUE;
  }
  INT_PTR result = FALSE;
  const bool handled = page->OnMessage(message, wparam, lparam, result);
  if (message == WM_INITDIALOG && page->speed_limit_asker_) {
    // Before the About entry, which stays last.
    ::InsertMenuW(::GetSystemMenu(window, FALSE), IDM_ABOUT_ENTRY, MF_BYCOMMAND | MF_STRING,
                  IDM_SPEED_LIMIT_ENTRY, Wide(kSpeedLimitEntry).c_str());
  }
  if (message == WM_INITDIALOG && page->open_hook_) page->open_hook_(window);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(window, DWLP_USER, 0);
    page->window_ = nullptr;
    if (page->open_hook_) page->open_hook_(nullptr);
  }
  if (handled) return result;
  // Unhandled, the dialog manager gives the focus to the first control.
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

HICON AppIcon(bool big) {
  static const HICON icons[2] = {
      static_cast<HICON>(::LoadImageW(Program(), MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON,
                                      ::GetSystemMetrics(SM_CXSMICON),
                                      ::GetSystemMetrics(SM_CYSMICON), 0)),
      static_cast<HICON>(::LoadImageW(Program(), MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON,
                                      ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON),
                                      0)),
  };
  return icons[big ? 1 : 0];
}

void AddPageFurniture(HWND page) {
  ::SendMessageW(page, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(AppIcon(true)));
  ::SendMessageW(page, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(AppIcon(false)));
  // LoadString with a zero length hands out a pointer to the text itself.
  const wchar_t* entry = nullptr;
  const int length = ::LoadStringW(Program(), IDS_ABOUT_ENTRY, reinterpret_cast<LPWSTR>(&entry), 0);
  const HMENU menu = ::GetSystemMenu(page, FALSE);
  if (menu == nullptr || length <= 0) return;
  const std::wstring text(entry, static_cast<size_t>(length));
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(menu, MF_STRING, IDM_ABOUT_ENTRY, text.c_str());
}

bool HandleFurniture(HWND page, UINT message, WPARAM wparam, INT_PTR& result) {
  switch (message) {
    case WM_SYSCOMMAND:
      // The system keeps the low four bits of a command for itself.
      if ((wparam & 0xFFF0) != IDM_ABOUT_ENTRY) return false;
      OpenAboutBox(page);
      result = TRUE;
      return true;
    case WM_HELP:  // F1
      OpenAboutBox(page);
      result = TRUE;
      return true;
    case WM_PAINT:
      if (!::IsIconic(page)) return false;
      PaintMinimized(page);
      result = TRUE;
      return true;
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<INT_PTR>(AppIcon(true));
      return true;
    default:
      return false;
  }
}

HWND AddTooltips(HWND page, std::initializer_list<Tooltip> tools, Prompt& prompt) {
  HWND tip =
      ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, page, nullptr, Program(), nullptr);
  bool complete = tip != nullptr;
  for (const Tooltip& tool : tools) complete = complete && ::GetDlgItem(page, tool.control_id);
  if (!complete) {
    if (tip != nullptr) ::DestroyWindow(tip);
    prompt.Ask(kTooltipError, PromptButtons::kOk, PromptIcon::kNone);
    return nullptr;
  }
  // Long texts wrap instead of running across the screen.
  ::SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, 400);
  for (const Tooltip& tool : tools) {
    std::wstring text = Wide(tool.text);
    TTTOOLINFOW info{};
    // The older size: every version of the common controls takes it.
    info.cbSize = TTTOOLINFOW_V2_SIZE;
    // The tooltip watches the control's mouse messages itself.
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = page;
    info.uId = reinterpret_cast<UINT_PTR>(::GetDlgItem(page, tool.control_id));
    info.lpszText = text.data();
    ::SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
  }
  ::SendMessageW(tip, TTM_ACTIVATE, TRUE, 0);
  return tip;
}

void CentreOnScreen(HWND page) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  RECT frame;
  if (!::GetMonitorInfoW(::MonitorFromWindow(page, MONITOR_DEFAULTTOPRIMARY), &monitor) ||
      !::GetWindowRect(page, &frame)) {
    return;
  }
  const RECT& work = monitor.rcWork;
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  ::SetWindowPos(page, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::string WindowText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
  const int got = ::GetWindowTextW(window, text.data(), length + 1);
  return Utf8(std::wstring_view(text.data(), static_cast<size_t>(got > 0 ? got : 0)));
}

void SetText(HWND window, std::string_view utf8) {
  if (window == nullptr || WindowText(window) == utf8) return;
  ::SetWindowTextW(window, Wide(utf8).c_str());
}

void SetItemText(HWND page, int id, std::string_view utf8) {
  SetText(::GetDlgItem(page, id), utf8);
}

void EnableItem(HWND page, int id, bool enabled) {
  const HWND control = ::GetDlgItem(page, id);
  if (control != nullptr) ::EnableWindow(control, enabled ? TRUE : FALSE);
}

void PumpMessages() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

void TakeSuggestedPlace(HWND page, LPARAM lparam) {
  const RECT* place = reinterpret_cast<const RECT*>(lparam);
  if (place == nullptr) return;
  ::SetWindowPos(page, nullptr, place->left, place->top, place->right - place->left,
                 place->bottom - place->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace brenvik
