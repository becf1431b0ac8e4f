#include "win32/window_driver.h"

#include <commctrl.h>

#include "platform/wide_text.h"

namespace brenvik::test {
namespace {

constexpr UINT kReplyLimitMs = 5000;
constexpr auto kPollInterval = 10ms;
constexpr const char* kBoxTitle = "Brenvik";
constexpr int kBoxTextId = 0xFFFF;  // the message text of a message box

// SendMessage with a time limit: 0 when the window did not answer.
LRESULT Ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  if (::SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, kReplyLimitMs, &result) ==
      0) {
    return 0;
  }
  return static_cast<LRESULT>(result);
}

bool IsOwn(HWND window) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  return process == ::GetCurrentProcessId();
}

bool IsDialog(HWND window) {
  wchar_t name[16] = {};
  ::GetClassNameW(window, name, 16);
  return std::wstring_view(name) == L"#32770";
}

// The visible top-level windows of this process, in z-order.
std::vector<HWND> OwnWindows() {
  std::vector<HWND> windows;
  ::EnumWindows(
      [](HWND window, LPARAM found) -> BOOL {
        if (::IsWindowVisible(window) && IsOwn(window)) {
          reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  return windows;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

HWND FindOwnWindow(const std::string& title_start) {
  for (HWND window : OwnWindows()) {
    if (TextOf(window).starts_with(title_start)) return window;
  }
  return nullptr;
}

HWND WaitForOwnWindow(const std::string& title_start, std::chrono::milliseconds limit) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindOwnWindow(title_start)) != nullptr; }, limit);
  return found;
}

std::string TextOf(HWND window) {
  if (window == nullptr) return {};
  const auto length = static_cast<size_t>(Ask(window, WM_GETTEXTLENGTH, 0, 0));
  std::wstring text(length + 1, L'\0');
  const auto copied = static_cast<size_t>(
      Ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  text.resize(copied < text.size() ? copied : 0);
  return Utf8(text);
}

std::string ItemText(HWND dialog, int id) { return TextOf(::GetDlgItem(dialog, id)); }

bool ItemEnabled(HWND dialog, int id) {
  HWND item = ::GetDlgItem(dialog, id);
  return item != nullptr && ::IsWindowEnabled(item);
}

std::string ListCell(HWND list, int row, int column) {
  std::wstring text(512, L'\0');
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = text.data();
  item.cchTextMax = static_cast<int>(text.size());
  const auto copied = static_cast<size_t>(
      Ask(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)));
  text.resize(copied < text.size() ? copied : 0);
  return Utf8(text);
}

int ListRows(HWND list) { return static_cast<int>(Ask(list, LVM_GETITEMCOUNT, 0, 0)); }

void PressButton(HWND dialog, int id) {
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

namespace {

// Posted, so the key passes through the modal loop's dialog-message
// handling, which turns Enter into the default command (IDOK) and Escape
// into IDCANCEL.
void PressKey(HWND dialog, WPARAM key, LPARAM scan_code) {
  ::PostMessageW(dialog, WM_KEYDOWN, key, 0x00000001 | (scan_code << 16));
  ::PostMessageW(dialog, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001 | (scan_code << 16)));
}

}  // namespace

void PressEnter(HWND dialog) { PressKey(dialog, VK_RETURN, 0x1C); }

void PressEscape(HWND dialog) { PressKey(dialog, VK_ESCAPE, 0x01); }

std::vector<std::pair<UINT, std::string>> SystemMenuItems(HWND window) {
  std::vector<std::pair<UINT, std::string>> items;
  HMENU menu = ::GetSystemMenu(window, FALSE);
  const int count = menu != nullptr ? ::GetMenuItemCount(menu) : 0;
  for (int i = 0; i < count; ++i) {
    wchar_t text[128] = {};
    MENUITEMINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 127;
    if (!::GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) continue;
    if ((info.fType & MFT_SEPARATOR) != 0) {
      items.emplace_back(0, "");
    } else {
      items.emplace_back(info.wID, Utf8(text));
    }
  }
  return items;
}

BoxAnswerer::BoxAnswerer(std::vector<int> answers, int fallback)
    : answers_(answers.begin(), answers.end()),
      fallback_(fallback),
      thread_([this](const std::stop_token& stop) { Poll(stop); }) {}

BoxAnswerer::~BoxAnswerer() {
  thread_.request_stop();
  thread_.join();
}

void BoxAnswerer::BeforeAnswer(std::function<void(const SeenBox&)> hook) {
  std::lock_guard lock(mutex_);
  before_answer_ = std::move(hook);
}

std::vector<SeenBox> BoxAnswerer::Boxes() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::vector<std::string> BoxAnswerer::Texts() const {
  std::vector<std::string> texts;
  for (const SeenBox& box : Boxes()) texts.push_back(box.text);
  return texts;
}

void BoxAnswerer::Poll(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    for (HWND window : OwnWindows()) {
      if (IsDialog(window) && TextOf(window) == kBoxTitle) Answer(window);
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

void BoxAnswerer::Answer(HWND box) {
  SeenBox seen{.title = TextOf(box), .text = ItemText(box, kBoxTextId)};
  seen.has_ok = ::GetDlgItem(box, IDOK) != nullptr;
  seen.has_retry = ::GetDlgItem(box, IDRETRY) != nullptr;
  seen.has_cancel = ::GetDlgItem(box, IDCANCEL) != nullptr;
  int answer = fallback_;
  std::function<void(const SeenBox&)> hook;
  {
    std::lock_guard lock(mutex_);
    if (!answers_.empty()) {
      answer = answers_.front();
      answers_.pop_front();
    }
    seen_.push_back(seen);
    hook = before_answer_;
  }
  if (hook) hook(seen);
  PressButton(box, answer);
  // One answer per box: wait until it has gone before looking again.
  WaitUntil([box] { return !::IsWindow(box) || !::IsWindowVisible(box); }, 10s);
}

int CancelOpenWindows() {
  const std::vector<HWND> windows = OwnWindows();
  for (HWND window : windows) PressButton(window, IDCANCEL);
  return static_cast<int>(windows.size());
}

}  // namespace brenvik::test
