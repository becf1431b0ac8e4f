#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace brenvik {

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

std::string DefaultDownloadFolder() {
  std::string home = HomeFolder();
  if (home.empty()) {
    std::error_code error;
    home = Utf8Of(std::filesystem::temp_directory_path(error));
    if (error || home.empty()) home = "/tmp";
  }
  return WithTrailingSeparator(std::move(home)) + "Downloads/PellixInstall/";
}

void CreateDirectoriesAlong(const std::string& folder) {
  std::error_code ignored;
  // Each prefix that ends just before a separator, from the root towards the
  // leaf; position 0 is the root of an absolute path and names nothing to make.
  for (size_t p = folder.find('/', 1); p != std::string::npos; p = folder.find('/', p + 1)) {
    std::filesystem::create_directory(PathFromUtf8(folder.substr(0, p)), ignored);
  }
}

}  // namespace brenvik
