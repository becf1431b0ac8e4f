#include <sys/file.h>

#include <cerrno>

#include "platform/contained_files.h"
#include "platform/folder_lock.h"

namespace brenvik {

struct FolderLock::Hold {
  ContainedFile folder;
};

FolderLock::FolderLock() = default;
FolderLock::~FolderLock() = default;
FolderLock::FolderLock(FolderLock&&) noexcept = default;
FolderLock& FolderLock::operator=(FolderLock&&) noexcept = default;

FolderLock FolderLock::Take(const std::filesystem::path& folder) {
  FolderLock lock;
  // The lock is on the open folder itself, so it goes with its last
  // descriptor, at the latest when the process ends.
  auto hold = std::make_unique<Hold>(Hold{OpenFolderBelow(folder, "", true)});
  if (!hold->folder.Ok()) return lock;
  int locked = 0;
  do {
    locked = ::flock(hold->folder.get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    lock.state_ = errno == EWOULDBLOCK ? FolderLockState::kInUse : FolderLockState::kNone;
    return lock;
  }
  lock.hold_ = std::move(hold);
  lock.state_ = FolderLockState::kHeld;
  return lock;
}

}  // namespace brenvik
