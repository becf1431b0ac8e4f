#pragma once
// Windows error codes (GetLastError, or an NTSTATUS turned into one) in the
// program's terms: the errno value that stands for one, and the system's
// own text for it, for messages that name the real cause. Windows only.
//
// Thread safety: any thread.

#ifdef _WIN32

#include <string>

namespace brenvik {

// The errno value for a Windows error code: ENOENT for a missing file or
// path, EEXIST, EACCES, ENOSPC for a full disk, EBUSY for a file in use,
// ENOTDIR, EINVAL, ENAMETOOLONG, ...; EIO for any code without a closer one.
int ErrnoOfWindowsError(unsigned long code);

// The system's text for the code in UTF-8, one line without its final dot,
// e.g. "There is not enough space on the disk"; "Windows error N" when the
// system has no text for it.
std::string WindowsErrorText(unsigned long code);

}  // namespace brenvik

#endif
