#include "win32/speed_limit_box.h"

#include <string>

#include "catalogue/speed_limit_file.h"
#include "platform/prompt.h"
#include "platform/wide_text.h"
#include "session/session.h"
#include "texts/window_texts.h"
#include "win32/dialog_furniture.h"
#include "win32/resource_ids.h"

namespace brenvik {

namespace {

struct Asking {
  Session& session;
  Prompt& prompt;
};

// The field's text as UTF-8, blanks around it dropped.
std::string FieldText(HWND box) {
  const HWND field = ::GetDlgItem(box, IDC_SPEED_LIMIT_FIELD);
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(field)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(::GetWindowTextW(field, text.data(), static_cast<int>(text.size()))));
  std::string utf8 = Utf8(text);
  const size_t first = utf8.find_first_not_of(" \t");
  const size_t last = utf8.find_last_not_of(" \t");
  return first == std::string::npos ? std::string() : utf8.substr(first, last - first + 1);
}

void TakeAnswer(HWND box, Asking& asking) {
  const std::string answer = FieldText(box);
  if (asking.session.SetSpeedLimit(answer)) {
    ::EndDialog(box, IDOK);
    return;
  }
  asking.prompt.Ask(Format(kSpeedLimitRefusedFormat, answer.c_str()), PromptButtons::kOk,
                    PromptIcon::kStop);
  ::SetFocus(::GetDlgItem(box, IDC_SPEED_LIMIT_FIELD));
  ::SendDlgItemMessageW(box, IDC_SPEED_LIMIT_FIELD, EM_SETSEL, 0, -1);
}

INT_PTR CALLBACK BoxProcedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrW(box, DWLP_USER, lparam);
    auto& asking = *reinterpret_cast<Asking*>(lparam);
    SetItemText(box, IDC_SPEED_LIMIT_QUESTION, kSpeedLimitQuestion);
    SetItemText(box, IDC_SPEED_LIMIT_FIELD, RateText(asking.session.SpeedLimit()));
    return TRUE;  // the field, the first control, gets the focus
  }
  auto* asking = reinterpret_cast<Asking*>(::GetWindowLongPtrW(box, DWLP_USER));
  if (message != WM_COMMAND || asking == nullptr) return FALSE;
  if (LOWORD(wparam) == IDOK) {
    TakeAnswer(box, *asking);
    return TRUE;
  }
  if (LOWORD(wparam) == IDCANCEL) {
    ::EndDialog(box, IDCANCEL);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void AskSpeedLimit(HWND owner, Session& session, Prompt& prompt) {
  Asking asking{session, prompt};
  ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SPEED_LIMIT), owner,
                    BoxProcedure, reinterpret_cast<LPARAM>(&asking));
}

}  // namespace brenvik
