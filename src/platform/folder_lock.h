#pragma once
// One run per download folder: an advisory lock on the folder itself,
// held for as long as the FolderLock lives and given up by the system when
// the process ends however it ends, so a crashed run never leaves the
// folder locked. Nothing is written into the folder for it, so the lock
// can never take a name a catalogue row uses, and nothing is left behind.
//
// POSIX: flock on a descriptor of the folder. Windows: a named semaphore
// whose name comes from the folder's volume serial number and file index
// (the folder's identity, whatever path leads to it), held at count 0.
// Either way two paths to one folder (a link, another spelling) meet the
// same lock, and a second taker in the same process is refused too.
//
// Thread safety: one thread per FolderLock; different objects any thread.

#include <filesystem>
#include <memory>
#include <string>

namespace brenvik {

enum class FolderLockState {
  kHeld,   // this object holds the folder
  kInUse,  // another holder has it
  kNone,   // no lock could be taken (the folder cannot be opened, or the
           // file system has no locks): the caller goes on without one
};

class FolderLock {
 public:
  FolderLock();  // holds nothing
  ~FolderLock();
  FolderLock(FolderLock&&) noexcept;
  FolderLock& operator=(FolderLock&&) noexcept;

  // Creates `folder` when it is missing, then tries once to lock it;
  // never waits for another holder.
  static FolderLock Take(const std::filesystem::path& folder);

  FolderLockState State() const { return state_; }

 private:
  struct Hold;  // the platform's descriptor or handle
  std::unique_ptr<Hold> hold_;
  FolderLockState state_ = FolderLockState::kNone;
};

}  // namespace brenvik
