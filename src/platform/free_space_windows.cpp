#include <windows.h>

#include <filesystem>
#include <system_error>

#include "platform/free_space.h"
#include "platform/utf8_path.h"

namespace brenvik {

namespace {

// The volume root of `path`, a relative one taken from the working
// directory; empty when there is none.
std::string RootOf(const std::string& path) {
  if (path.empty()) return {};
  if (std::string root = WindowsVolumeRoot(path); !root.empty()) return root;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(PathFromUtf8(path), error);
  return error ? std::string() : WindowsVolumeRoot(Utf8Of(absolute));
}

}  // namespace

std::string SystemFreeSpace::DriveOf(const std::string& path) { return RootOf(path); }

std::optional<uint64_t> SystemFreeSpace::AvailableBytes(const std::string& path) {
  const std::string root = RootOf(path);
  if (root.empty()) return std::nullopt;
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(PathFromUtf8(root).c_str(), &available, nullptr, nullptr)) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(available.QuadPart);
}

}  // namespace brenvik
