#include "platform/paths.h"

#include <cstdlib>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace brenvik {

namespace {

constexpr bool IsAnySeparator(char c) { return c == '/' || c == '\\'; }

#ifndef _WIN32
// The home folder from the environment, or from the password database when
// HOME is unset or empty; empty when neither knows it.
std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}
#endif

}  // namespace

bool IsSafeRelativeName(const std::string& name) {
  if (name.empty() || IsAnySeparator(name.front())) return false;
  // A colon makes "C:x" drive-relative on Windows and names a stream there;
  // a NUL would cut the name short when it reaches the operating system.
  if (name.find_first_of(std::string_view(":\0", 2)) != std::string::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsAnySeparator(name[end])) ++end;
    if (std::string_view(name).substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string LocalPath(const std::string& folder, const std::string& name) {
  std::string path = folder;
  path.reserve(folder.size() + name.size());
  for (const char c : name) path.push_back(IsAnySeparator(c) ? kSeparator : c);
  return path;
}

std::string WithTrailingSeparator(std::string folder) {
  // Only a real separator of this platform counts: on POSIX a trailing '\\'
  // is part of the last name.
  if (folder.empty() || (folder.back() != kSeparator && folder.back() != '/')) {
    folder.push_back(kSeparator);
  }
  return folder;
}

std::string DefaultDownloadFolder() {
#ifdef _WIN32
  return "C:\\Temp\\PellixInstall\\";
#else
  std::string home = HomeFolder();
  if (home.empty()) {
    std::error_code error;
    home = std::filesystem::temp_directory_path(error).string();
    if (error || home.empty()) home = "/tmp";
  }
  return WithTrailingSeparator(std::move(home)) + "Downloads/PellixInstall/";
#endif
}

void CreateDirectoriesAlong(const std::string& folder) {
  std::error_code ignored;
#ifdef _WIN32
  // From the drive root ("C:\") on: a prefix ending just before each later
  // backslash. The root itself exists, so its attempt fails harmlessly.
  for (size_t p = 3; p != std::string::npos; p = folder.find('\\', p + 1)) {
    std::filesystem::create_directory(folder.substr(0, p), ignored);
  }
#else
  // Each prefix that ends just before a separator, from the root towards the
  // leaf; position 0 is the root of an absolute path and names nothing to make.
  for (size_t p = folder.find('/', 1); p != std::string::npos; p = folder.find('/', p + 1)) {
    std::filesystem::create_directory(folder.substr(0, p), ignored);
  }
#endif
}

}  // namespace brenvik
