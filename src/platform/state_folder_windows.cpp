#include <cstdlib>

#include "platform/paths.h"
#include "platform/state_folder.h"
#include "platform/utf8_path.h"

namespace brenvik {

std::filesystem::path MenuStateFolder() {
  // The variable is read wide: the narrow environment is in the ANSI code page.
  if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local != nullptr) {
    const std::filesystem::path folder(local);
    if (folder.is_absolute()) return folder / "Brenvik" / "";
  }
  return PathFromUtf8(HomeFolder()) / "AppData" / "Local" / "Brenvik" / "";
}

}  // namespace brenvik
