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

}  // namespace brenvik
