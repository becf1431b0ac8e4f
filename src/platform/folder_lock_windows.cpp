#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/contained_files.h"
#include "platform/folder_lock.h"

namespace brenvik {

namespace {

// The semaphore's name: the folder's identity, so every path to the folder
// names the same one. "Local\" is this logon session's namespace, where
// every run of this user's desktop meets.
bool NameOfFolder(int fd, std::wstring& name) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)), &info)) {
    return false;
  }
  wchar_t text[96];
  std::swprintf(text, sizeof text / sizeof text[0], L"Local\\Brenvik.Folder.%08lx.%08lx%08lx",
                info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
  name = text;
  return true;
}

}  // namespace

struct FolderLock::Hold {
  HANDLE semaphore = nullptr;
  ~Hold() {
    // Closing the last handle destroys the semaphore; a crash closes it too.
    if (semaphore != nullptr) {
      (void)::ReleaseSemaphore(semaphore, 1, nullptr);
      (void)::CloseHandle(semaphore);
    }
  }
};

FolderLock::FolderLock() = default;
FolderLock::~FolderLock() = default;
FolderLock::FolderLock(FolderLock&&) noexcept = default;
FolderLock& FolderLock::operator=(FolderLock&&) noexcept = default;

FolderLock FolderLock::Take(const std::filesystem::path& folder) {
  FolderLock lock;
  const ContainedFile opened = OpenFolderBelow(folder, "", true);
  std::wstring name;
  if (!opened.Ok() || !NameOfFolder(opened.get(), name)) return lock;
  // A semaphore of one, not a mutex: a mutex lets the thread that owns it
  // take it again, and a second run in the same thread must be refused too.
  auto hold = std::make_unique<Hold>();
  hold->semaphore = ::CreateSemaphoreW(nullptr, 1, 1, name.c_str());
  if (hold->semaphore == nullptr) return lock;
  if (::WaitForSingleObject(hold->semaphore, 0) != WAIT_OBJECT_0) {
    (void)::CloseHandle(hold->semaphore);
    hold->semaphore = nullptr;
    lock.state_ = FolderLockState::kInUse;
    return lock;
  }
  lock.hold_ = std::move(hold);
  lock.state_ = FolderLockState::kHeld;
  return lock;
}

}  // namespace brenvik
