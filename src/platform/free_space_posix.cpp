#include <sys/stat.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <system_error>

#include "platform/free_space.h"
#include "platform/utf8_path.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

// `path` made absolute and without a trailing separator, then walked up to
// the nearest folder that exists: the folder a download would land on once
// its missing parents are created. Empty when nothing along it exists.
fs::path NearestExistingAncestor(const std::string& path) {
  std::error_code error;
  fs::path current = fs::absolute(PathFromUtf8(path), error).lexically_normal();
  if (error) return {};
  if (current.filename().empty() && current != current.root_path()) {
    current = current.parent_path();
  }
  while (!current.empty()) {
    struct stat info;
    if (::stat(current.c_str(), &info) == 0) return current;
    if (current == current.root_path()) break;
    current = current.parent_path();
  }
  return {};
}

}  // namespace

std::string SystemFreeSpace::DriveOf(const std::string& path) {
  if (path.empty()) return {};
  if (IsWindowsStylePath(path)) return WindowsDriveRoot(path);
  fs::path current = NearestExistingAncestor(path);
  if (current.empty()) return {};
  struct stat info;
  if (::stat(current.c_str(), &info) != 0) return {};
  const dev_t device = info.st_dev;
  // The mount point is the highest ancestor still on the same filesystem.
  // The walk is lexical, so the drive keeps the form the user wrote.
  while (current != current.root_path()) {
    const fs::path parent = current.parent_path();
    struct stat parent_info;
    if (::stat(parent.c_str(), &parent_info) != 0 || parent_info.st_dev != device) break;
    current = parent;
  }
  return Utf8Of(current);
}

std::optional<uint64_t> SystemFreeSpace::AvailableBytes(const std::string& path) {
  if (path.empty() || IsWindowsStylePath(path)) return std::nullopt;
  // Asked before every download: a folder that exists is asked at once,
  // without the walk up to the nearest folder that does.
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0) {
    const fs::path existing = NearestExistingAncestor(path);
    if (existing.empty() || ::statvfs(existing.c_str(), &info) != 0) return std::nullopt;
  }
  const uint64_t blocks = info.f_bavail;
  const uint64_t block_size = info.f_frsize;
  if (block_size != 0 && blocks > UINT64_MAX / block_size) return UINT64_MAX;
  return blocks * block_size;
}

}  // namespace brenvik
