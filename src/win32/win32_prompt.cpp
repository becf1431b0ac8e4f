#include "win32/win32_prompt.h"

#include "platform/wide_text.h"
#include "texts/printable_text.h"
#include "win32/dialog_furniture.h"

namespace brenvik {

namespace {

constexpr const wchar_t* kMessengerClass = L"BrenvikPromptMessenger";
// The message that carries a question to the window thread; its lParam
// points at an Asked, which lives on the asking thread's stack while it waits.
constexpr UINT kAskMessage = WM_APP + 1;

struct Asked {
  const std::string& text;
  PromptButtons buttons;
  PromptIcon icon;
  PromptAnswer answer = PromptAnswer::kCancel;
};

void RegisterMessengerClass(WNDPROC procedure) {
  static const bool registered = [procedure] {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = ::GetModuleHandleW(nullptr);
    window_class.lpszClassName = kMessengerClass;
    return ::RegisterClassW(&window_class) != 0;
  }();
  (void)registered;
}

}  // namespace

Win32Prompt::Win32Prompt() : window_thread_(::GetCurrentThreadId()) {
  RegisterMessengerClass(&Win32Prompt::MessengerProcedure);
  messenger_ = ::CreateWindowExW(0, kMessengerClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
}

Win32Prompt::~Win32Prompt() {
  if (messenger_ != nullptr) ::DestroyWindow(messenger_);
}

PromptAnswer Win32Prompt::Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) {
  if (::GetCurrentThreadId() == window_thread_ || messenger_ == nullptr) {
    return AskHere(text, buttons, icon);
  }
  // SendMessage across threads waits until the window thread has handled
  // the message, which it does whenever it dispatches messages.
  Asked asked{text, buttons, icon};
  ::SendMessageW(messenger_, kAskMessage, 0, reinterpret_cast<LPARAM>(&asked));
  return asked.answer;
}

LRESULT CALLBACK Win32Prompt::MessengerProcedure(HWND window, UINT message, WPARAM wparam,
                                                 LPARAM lparam) {
  if (message != kAskMessage) return ::DefWindowProcW(window, message, wparam, lparam);
  auto* asked = reinterpret_cast<Asked*>(lparam);
  asked->answer = AskHere(asked->text, asked->buttons, asked->icon);
  return 0;
}

PromptAnswer Win32Prompt::AskHere(const std::string& text, PromptButtons buttons, PromptIcon icon) {
  // Over the page in front, which stays disabled until the answer; with no
  // page, every window of the thread waits.
  const HWND owner = ::GetActiveWindow();
  UINT style = buttons == PromptButtons::kRetryCancel ? MB_RETRYCANCEL : MB_OK;
  if (icon == PromptIcon::kStop) style |= MB_ICONHAND;
  if (owner == nullptr) style |= MB_TASKMODAL;
  switch (
      ::MessageBoxW(owner, Wide(PrintableText(text)).c_str(), Wide(kProgramName).c_str(), style)) {
    case IDRETRY:
      return PromptAnswer::kRetry;
    case IDOK:
      return PromptAnswer::kOk;
    default:
      return PromptAnswer::kCancel;
  }
}

}  // namespace brenvik
