#include "platform/free_space.h"

#include <algorithm>

#include "platform/paths.h"

namespace brenvik {

std::string WindowsDriveRoot(const std::string& path) {
  const size_t colon = path.find(":\\");
  // Without ":\" the first character stands for the root (a UNC path
  // "\\server\share\" gives "\"); an empty path stays empty.
  if (colon == std::string::npos) return path.substr(0, 1);
  return path.substr(0, colon + 2);
}

bool IsWindowsStylePath(const std::string& path) {
  return (path.size() >= 2 && path[1] == ':') || path.find(":\\") != std::string::npos;
}

std::string WindowsVolumeRoot(const std::string& path) {
  const size_t length = WindowsRootLength(path);
  // A lone "\" is the current drive's root: it names no volume by itself.
  if (length < 2) return {};
  std::string root = path.substr(0, length);
  std::replace(root.begin(), root.end(), '/', '\\');
  if (root.back() != '\\') root.push_back('\\');
  return root;
}

}  // namespace brenvik
