#include "catalogue/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "catalogue/text_lines.h"
#include "platform/paths.h"

namespace brenvik {

namespace {

constexpr std::string_view kHeaderLine = "# OrvBrenvik.ini\n";

// Writes all of `bytes` to `fd`, retrying short writes and interruptions.
bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

// Makes a finished rename survive a crash; a failure here does not undo the
// save, so it is not reported.
void SyncFolderOf(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool Settings::Load(const std::filesystem::path& file) {
  std::string text;
  if (!ReadWholeFile(file, text)) return false;
  std::string_view rest = text;
  std::string_view line;
  while (NextLine(rest, line)) {
    // A line of blanks names no folder; joining file names to it would put
    // them in the working directory under odd names.
    if (IsSkippedLine(line) || IsBlank(line)) continue;
    // A folder stored by hand may lack its separator; file names are joined
    // to it directly, so without one they would land beside it.
    stored_folder_ = WithTrailingSeparator(std::string(line));
    return true;
  }
  return false;
}

void Settings::SetStoredFolder(std::string folder) {
  stored_folder_ = std::move(folder);
  CreateDirectoriesAlong(stored_folder_);
}

bool Settings::Save(const std::filesystem::path& file) const {
  // The new content goes to a fresh file beside the target and replaces it
  // by a rename, so a failure at any point leaves the earlier file whole.
  std::string temp_name = file.string() + ".XXXXXX";
  const int fd = ::mkstemp(temp_name.data());
  if (fd < 0) return false;
  // mkstemp makes the file private; a settings file is an ordinary file.
  ::fchmod(fd, 0644);
  std::string content(kHeaderLine);
  content += stored_folder_;
  content += '\n';
  bool ok = WriteAll(fd, content);
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && std::rename(temp_name.c_str(), file.c_str()) == 0;
  if (!ok) {
    ::unlink(temp_name.c_str());
    return false;
  }
  SyncFolderOf(file);
  return true;
}

}  // namespace brenvik
