// windows.h first: the shell headers build on its definitions.
// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on

#include <cstdlib>
#include <string_view>

#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace brenvik {

std::string HomeFolder() {
  if (const wchar_t* profile = _wgetenv(L"USERPROFILE"); profile != nullptr && *profile != L'\0') {
    return Utf8Of(std::filesystem::path(profile));
  }
  // The shell's profile folder, asked through the call that needs no COM
  // allocator (the path comes back in a buffer of ours).
  wchar_t buffer[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return Utf8Of(std::filesystem::path(buffer));
  }
  return {};
}

std::string DefaultDownloadFolder() { return "C:\\Temp\\PellixInstall\\"; }

void CreateDirectoriesAlong(const std::string& folder) {
  // From just past the root ("C:\", "\\server\share\") towards the leaf:
  // each prefix that ends before a separator, skipping empty components.
  // Failures (an existing level, a file in the way) are left to whoever
  // uses the folder next.
  const std::string_view text(folder);
  size_t start = WindowsRootLength(text);
  for (size_t p = text.find_first_of("\\/", start); p != std::string_view::npos;
       p = text.find_first_of("\\/", start)) {
    if (p > start) {
      const std::filesystem::path level = PathFromUtf8(text.substr(0, p));
      (void)CreateDirectoryW(level.c_str(), nullptr);
    }
    start = p + 1;
  }
}

}  // namespace brenvik
