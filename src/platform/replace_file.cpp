#include "platform/replace_file.h"

#include "platform/file_io.h"

namespace brenvik {

bool ReplaceFileWith(const std::filesystem::path& target, std::string_view content) {
  std::filesystem::path temp;
  const int fd = replace_steps::CreateBeside(target, temp);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, content.data(), content.size()) == 0;
  ok = ok && SyncFile(fd);
  ok = CloseFile(fd) && ok;
  ok = ok && replace_steps::MoveOver(temp, target);
  if (!ok) replace_steps::RemoveTemp(temp);
  return ok;
}

}  // namespace brenvik
