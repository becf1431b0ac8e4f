// windows.h first: the shell headers build on its definitions.
// clang-format off
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
// clang-format on

#include "win32/folder_picker.h"

#include <algorithm>

#include "platform/wide_text.h"

namespace brenvik {

namespace {

// Releases a COM interface at the end of its scope.
template <typename T>
struct Held {
  T* pointer = nullptr;
  ~Held() {
    if (pointer != nullptr) pointer->Release();
  }
  T* operator->() const { return pointer; }
};

// The result of the folder dialog: a path, nullopt when the user cancelled,
// or a failure (the dialog is not there) in `failed`.
std::optional<std::string> PickWithFileDialog(HWND owner, const std::wstring& title, bool& failed) {
  failed = true;
  Held<IFileOpenDialog> dialog;
  if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&dialog.pointer)))) {
    return std::nullopt;
  }
  FILEOPENDIALOGOPTIONS options = 0;
  if (FAILED(dialog->GetOptions(&options)) ||
      FAILED(dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM |
                                FOS_PATHMUSTEXIST))) {
    return std::nullopt;
  }
  // A title bar holds one line.
  std::wstring caption = title;
  std::replace(caption.begin(), caption.end(), L'\n', L' ');
  dialog->SetTitle(caption.c_str());
  const HRESULT shown = dialog->Show(owner);
  failed = false;
  if (FAILED(shown)) {
    failed = shown != HRESULT_FROM_WIN32(ERROR_CANCELLED);
    return std::nullopt;
  }
  Held<IShellItem> item;
  PWSTR path = nullptr;
  if (FAILED(dialog->GetResult(&item.pointer)) ||
      FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
    return std::nullopt;  // no file-system path: as if cancelled
  }
  std::string picked = Utf8(path);
  ::CoTaskMemFree(path);
  return picked;
}

std::optional<std::string> PickWithFolderBrowser(HWND owner, const std::wstring& title) {
  wchar_t name[MAX_PATH] = L"";
  BROWSEINFOW browse{};
  browse.hwndOwner = owner;
  browse.pszDisplayName = name;
  browse.lpszTitle = title.c_str();
  browse.ulFlags = BIF_RETURNONLYFSDIRS;
  PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
  if (chosen == nullptr) return std::nullopt;
  const bool has_path = ::SHGetPathFromIDListW(chosen, name) != FALSE;
  ::CoTaskMemFree(chosen);
  if (!has_path) return std::nullopt;
  return Utf8(name);
}

}  // namespace

std::optional<std::string> Win32FolderPicker::PickFolder(const std::string& title) {
  const HWND owner = ::GetActiveWindow();
  const std::wstring wide_title = Wide(title);
  bool failed = false;
  std::optional<std::string> picked = PickWithFileDialog(owner, wide_title, failed);
  if (failed) return PickWithFolderBrowser(owner, wide_title);
  return picked;
}

}  // namespace brenvik
