#pragma once
// The free-space seam: which "drive" a path is on and how many bytes the
// user may still write there.
//
// POSIX: the drive is the mount point of the filesystem that holds the path
// (or its nearest existing ancestor), and the free count is statvfs's space
// available to unprivileged users. A Windows-style path ("D:\Games\") is cut
// to its drive root as the Windows program does ("D:\"); everything up to
// and including the first ":\", or the first character when there is none.
//
// Windows: the drive is the root of the volume that holds the path, written
// with backslashes: "D:\" for "D:\Games\x\" (or "D:/Games/x/"), the share
// "\\server\share\" for a path on one; a relative path is taken from the
// working directory first. The free count is what the volume still grants
// this user (quotas included), asked of its root, so the folder need not
// exist yet.
//
// Thread safety: implementations are called from the face's thread and the
// download worker at once.

#include <cstdint>
#include <optional>
#include <string>

namespace brenvik {

class FreeSpace {
 public:
  virtual ~FreeSpace() = default;
  // The drive shown to the user for `path`.
  virtual std::string DriveOf(const std::string& path) = 0;
  // Bytes available to the user on the drive of `path`; nullopt when the
  // drive cannot be queried.
  virtual std::optional<uint64_t> AvailableBytes(const std::string& path) = 0;
};

class SystemFreeSpace final : public FreeSpace {
 public:
  std::string DriveOf(const std::string& path) override;
  std::optional<uint64_t> AvailableBytes(const std::string& path) override;
};

// "D:\Games\" -> "D:\"; a path without ":\" keeps its first character only;
// an empty path stays empty.
std::string WindowsDriveRoot(const std::string& path);
bool IsWindowsStylePath(const std::string& path);

// The root of the volume a Windows path names, with backslashes and a
// trailing one: "D:\" for "d:/x" or "D:x", "\\server\share\" for
// "\\server\share\dir" or "//server/share", "\\?\C:\" for "\\?\C:\x". Empty
// when the path names no drive or share (relative, or rooted on the
// current drive).
std::string WindowsVolumeRoot(const std::string& path);

}  // namespace brenvik
