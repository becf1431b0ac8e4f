#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <random>
#include <string>

#include "platform/held_files.h"
#include "platform/replace_file.h"

namespace brenvik::replace_steps {

int CreateBeside(const std::filesystem::path& target, std::filesystem::path& temp) {
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = target.native() + L"." + std::to_wstring(entropy() % 1000000u);
    // Nobody else needs the file before it has taken the target's place.
    const HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
      ::CloseHandle(handle);
      (void)::DeleteFileW(name.c_str());
      return -1;
    }
    temp = name;
    return fd;
  }
  return -1;
}

// MOVEFILE_WRITE_THROUGH returns once the rename is on the disk, as the
// folder's sync does on POSIX. A target another program holds for a moment
// is waited for, as the download folder's files are.
bool MoveOver(const std::filesystem::path& temp, const std::filesystem::path& target) {
  const auto attempt = [&]() -> DWORD {
    const bool moved = ::MoveFileExW(temp.c_str(), target.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    return moved ? ERROR_SUCCESS : ::GetLastError();
  };
  const auto held = +[](const DWORD& code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
  };
  return held_files::RetryWhileHeld<DWORD>(attempt, held) == ERROR_SUCCESS;
}

void RemoveTemp(const std::filesystem::path& temp) { (void)::DeleteFileW(temp.c_str()); }

}  // namespace brenvik::replace_steps
