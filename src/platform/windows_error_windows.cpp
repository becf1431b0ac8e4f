#include <windows.h>

#include <cerrno>

#include "platform/wide_text.h"
#include "platform/windows_error.h"

namespace brenvik {

namespace {

// Codes the compiler's headers do not name.
constexpr DWORD kDiskQuotaExceeded = 1295;
constexpr DWORD kStoppedOnSymlink = 681;

struct ErrnoOf {
  DWORD code;
  int number;
};

constexpr ErrnoOf kErrnoOf[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_BAD_NET_NAME, ENOENT},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_NETWORK_ACCESS_DENIED, EACCES},
    {ERROR_PRIVILEGE_NOT_HELD, EACCES},
    {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_WRITE_PROTECT, EROFS},
    {ERROR_NOT_SAME_DEVICE, EXDEV},
    {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_LOCK_VIOLATION, EBUSY},
    {ERROR_BUSY, EBUSY},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_DISK_FULL, ENOSPC},
    {kDiskQuotaExceeded, ENOSPC},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_INVALID_PARAMETER, EINVAL},
    {ERROR_INVALID_NAME, EINVAL},
    {ERROR_BAD_PATHNAME, EINVAL},
    {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_DIRECTORY, ENOTDIR},
    {kStoppedOnSymlink, ELOOP},
    {ERROR_CANT_RESOLVE_FILENAME, ELOOP},
};

}  // namespace

int ErrnoOfWindowsError(unsigned long code) {
  for (const ErrnoOf& entry : kErrnoOf) {
    if (entry.code == code) return entry.number;
  }
  return EIO;
}

std::string WindowsErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const std::string lines = Utf8(std::wstring_view(buffer, length));
  ::LocalFree(buffer);
  // The system's texts end with a dot and a line break; some span lines.
  std::string text;
  for (const char c : lines) {
    const bool blank = c == '\r' || c == '\n' || c == ' ';
    if (!blank || (!text.empty() && text.back() != ' ')) text += blank ? ' ' : c;
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
  if (text.empty()) return "Windows error " + std::to_string(code);
  return text;
}

}  // namespace brenvik
