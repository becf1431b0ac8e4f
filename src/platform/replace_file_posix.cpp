#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/file_descriptor.h"
#include "platform/replace_file.h"

namespace brenvik::replace_steps {

namespace {

// Makes a finished rename survive a crash; a failure here does not undo the
// replacement, so it is not reported.
void SyncFolderOf(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) (void)SyncFile(fd.get());
}

}  // namespace

int CreateBeside(const std::filesystem::path& target, std::filesystem::path& temp) {
  std::string name = target.string() + ".XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return -1;
  // mkstemp makes the file private; the replacement is an ordinary file.
  (void)::fchmod(fd, 0644);
  temp = name;
  return fd;
}

bool MoveOver(const std::filesystem::path& temp, const std::filesystem::path& target) {
  if (std::rename(temp.c_str(), target.c_str()) != 0) return false;
  SyncFolderOf(target);
  return true;
}

void RemoveTemp(const std::filesystem::path& temp) { (void)::unlink(temp.c_str()); }

}  // namespace brenvik::replace_steps
