// windows.h first: the shell headers build on its definitions.
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
// clang-format on

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/installer.h"
#include "platform/long_path.h"
#include "platform/utf8_path.h"
#include "platform/windows_error.h"

namespace brenvik {

namespace {

// The window the shell's prompts belong in front of: this program's
// visible window that no other owns (the page), else its console's window.
struct OwnerSearch {
  DWORD process = ::GetCurrentProcessId();
  HWND found = nullptr;
};

BOOL CALLBACK TakeOwnWindow(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<OwnerSearch*>(context);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process != search.process || !::IsWindowVisible(window) ||
      ::GetWindow(window, GW_OWNER) != nullptr) {
    return TRUE;
  }
  search.found = window;
  return FALSE;
}

HWND OwnerWindow() {
  OwnerSearch search;
  ::EnumWindows(TakeOwnWindow, reinterpret_cast<LPARAM>(&search));
  return search.found != nullptr ? search.found : ::GetConsoleWindow();
}

// The shell's own start, with no error box of the shell's own: the row says
// what went wrong.
unsigned long ShellOpenFile(const std::wstring& file, const std::wstring& folder, void* owner) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.hwnd = static_cast<HWND>(owner);
  info.lpVerb = L"open";
  info.lpFile = file.c_str();
  info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ::ShellExecuteExW(&info) ? ERROR_SUCCESS : ::GetLastError();
}

std::string FailureOf(unsigned long code) {
  switch (code) {
    case ERROR_CANCELLED:
      return "the request for administrator rights was declined";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "the program was not found";
    case ERROR_NO_ASSOCIATION:
      return "no program is set to open it";
    default:
      return WindowsErrorText(code);
  }
}

}  // namespace

InstallerStart SystemInstallerLauncher::Start(const std::string& path,
                                              const std::string& working_dir) {
  if (path.empty()) return {false, "no program was named"};
  std::error_code error;
  // The program runs in another folder, so a relative path must not be
  // resolved there.
  const std::filesystem::path program = std::filesystem::absolute(PathFromUtf8(path), error);
  const DWORD attributes =
      error ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(LongPathOf(program).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {false, FailureOf(ERROR_FILE_NOT_FOUND)};
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return {false, "it is not a regular file"};
  const std::wstring file = ShellPathOf(program);
  const std::wstring folder =
      working_dir.empty() ? std::wstring() : ShellPathOf(PathFromUtf8(working_dir));
  // COM on this thread for the time of the call, as the shell and the
  // handlers it calls need it.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const HWND owner = OwnerWindow();
  const unsigned long code =
      shell_open_ ? shell_open_(file, folder, owner) : ShellOpenFile(file, folder, owner);
  if (SUCCEEDED(com)) ::CoUninitialize();
  if (code == ERROR_SUCCESS) return {true};
  return {false, FailureOf(code)};
}

}  // namespace brenvik
