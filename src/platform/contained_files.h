#pragma once
// Files below a root folder, reached without ever leaving it.
//
// The root is opened first (following a symbolic link for the root itself:
// users point their download folder wherever they like); every operation
// then walks down from the root's descriptor one component at a time, each
// opened relative to the one before without following a link (openat with
// O_NOFOLLOW on POSIX; on Windows a handle-relative open that stops at a
// reparse point), so a symbolic link or junction anywhere below the root is
// refused instead of followed; nothing is created, written, renamed or
// removed outside the root through one. A file is written only when it was
// created fresh or has no name but its own below the root, so a hard link
// never carries a write outside either. Each operation walks afresh from
// the root's descriptor, so a link swapped in below the root between two
// operations is refused too. A ContainedFolder keeps the root open for many
// operations; the free functions open it for one.
//
// Relative names use '/' or '\' as separators; empty and "." components are
// skipped, a ".." component is refused.
//
// Errors are values: errno and one line that names the path and the cause,
// e.g. `cannot create "/x/DIR/a.bin.part": Read-only file system`; on
// Windows the path shows '\' and the cause is the system's own text. A
// refused symbolic link reports ELOOP.
//
// On Windows, files are opened shared for reading, writing and deleting, so
// a file one part of the program has open can still be renamed or removed
// by another. Renames and removals take the POSIX semantics where the file
// system offers them (NTFS on Windows 10 1709 and later): a removed name is
// free at once and a name can be renamed over while its file is open.
// Elsewhere a removed file keeps its name until its last reader closes it,
// and renaming over an open file fails. A component that Windows programs
// could not open by name (a reserved character, a trailing dot or blank, a
// device name such as NUL) is refused with EINVAL, one longer than 255
// UTF-16 units with ENAMETOOLONG. A rename, removal or fresh creation that
// meets a file another program holds is tried again for about two seconds
// (platform/held_files.h) before it fails with `held` set and a cause that
// says so.
//
// Thread safety: any thread. A ContainedFolder's operations only read it,
// so several threads may share one; the free functions share no state.

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "platform/file_descriptor.h"

namespace brenvik {

struct ContainedError {
  int number = 0;       // errno; 0 when nothing failed
  std::string message;  // one line naming the path and the cause
  // Another program holds the file (platform/held_files.h): the same call
  // may well succeed a moment later.
  bool held = false;
};

// A descriptor opened below the root, or why none could be opened (on
// Windows a C runtime descriptor that owns the system's handle).
class [[nodiscard]] ContainedFile {
 public:
  explicit ContainedFile(int fd, uint64_t size = 0) : file_(fd), size_(size) {}
  explicit ContainedFile(ContainedError error) : error_(std::move(error)) {}

  bool Ok() const { return file_.get() >= 0; }
  int get() const { return file_.get(); }
  // The file's size when it was opened for reading or appending; 0 otherwise.
  uint64_t Size() const { return size_; }
  void Close() { file_.Close(); }
  const ContainedError& Error() const { return error_; }

 private:
  FileDescriptor file_;
  uint64_t size_ = 0;
  ContainedError error_;
};

// The outcome of an operation that leaves no descriptor behind.
struct [[nodiscard]] ContainedStatus {
  ContainedError error;
  bool Ok() const { return error.number == 0; }
};

// A root folder held open: each operation walks from its descriptor, so
// many operations pay for opening the root once. The root stays the folder
// it was when opened, even if its path is renamed or re-pointed later;
// StillNamedBy tells a holder when to open it again.
class ContainedFolder {
 public:
  ContainedFolder() = default;  // holds nothing: every operation fails with EBADF

  // Opens `root` (the working directory when it is empty). With `create`, a
  // missing root is made, its missing parents included.
  static ContainedFolder Open(const std::filesystem::path& root, bool create);
  // Opens `root` as Open does, to be kept: it also notes which folder it is
  // (one more system call), for StillNamedBy.
  static ContainedFolder Hold(const std::filesystem::path& root, bool create);

  bool Ok() const { return fd_.get() >= 0; }
  // Why the root could not be opened.
  const ContainedError& Error() const { return error_; }
  const std::filesystem::path& Root() const { return root_; }
  // True when this folder was opened with Hold, `root` is its path and
  // leads to it still (one look at the path; no descriptor is kept).
  bool StillNamedBy(const std::filesystem::path& root) const;

  // Opens the folder `relative_dir` (the root itself when it is empty).
  // With `create`, missing folders below the root are made on the way.
  ContainedFile OpenFolder(std::string_view relative_dir, bool create) const;

  // Creates the file `relative_name` fresh, for writing (mode 0644 before
  // the umask), making missing folders. Whatever entry held the name is
  // unlinked first (a symbolic link goes, its target stays), so an existing
  // file is never opened or truncated; a folder under the name is an error.
  ContainedFile CreateFreshFile(std::string_view relative_name) const;

  // Like CreateFreshFile, but an entry under the name is left as it is and
  // reported as EEXIST.
  ContainedFile CreateNewFile(std::string_view relative_name) const;

  // Opens the regular file `relative_name` for reading. A leaf that is a
  // symbolic link is refused (ELOOP); a folder gives EISDIR, any other kind
  // of entry EINVAL. A FIFO never blocks the call.
  ContainedFile OpenForReading(std::string_view relative_name) const;

  // Opens the existing regular file `relative_name` for writing at its end,
  // refusing links and other kinds of entry as above, and a file with more
  // than one name (EMLINK): its other name, a hard link, may be outside the
  // root, and writing would change that file too.
  ContainedFile OpenForAppending(std::string_view relative_name) const;
  // The same for writing anywhere in the file (the caller seeks): several
  // downloads may each fill a part of one file.
  ContainedFile OpenForWriting(std::string_view relative_name) const;

  // Renames `from` to `to`, replacing a file (or link) under `to`; missing
  // folders of `to` are made. An existing folder under `to` is an error
  // (EISDIR). Names in the same folder walk to it once.
  ContainedStatus Rename(std::string_view from, std::string_view to) const;

  // Removes the entry `relative_name` when it is not a folder; a name that
  // does not exist is not an error.
  ContainedStatus Remove(std::string_view relative_name) const;

 private:
  std::filesystem::path root_;
  FileDescriptor fd_;
  bool identified_ = false;  // Hold noted which folder the root is
  uint64_t device_ = 0;      // the device (Windows: volume serial number)
  uint64_t inode_ = 0;       // the inode (Windows: file index)
  ContainedError error_{EBADF, "no folder is open"};
};

// One operation each: opens `root`, does what the ContainedFolder
// operation of the same name does, and closes it again. A missing root is
// made by CreateFreshFileBelow and by OpenFolderBelow with `create` (only
// for a name they accept); for the others it holds nothing.
ContainedFile OpenFolderBelow(const std::filesystem::path& root, std::string_view relative_dir,
                              bool create);
ContainedFile CreateFreshFileBelow(const std::filesystem::path& root,
                                   std::string_view relative_name);
ContainedFile OpenForReadingBelow(const std::filesystem::path& root,
                                  std::string_view relative_name);
ContainedFile OpenForAppendingBelow(const std::filesystem::path& root,
                                    std::string_view relative_name);
ContainedStatus RenameBelow(const std::filesystem::path& root, std::string_view from,
                            std::string_view to);
// A missing root holds no entry, so removing from it succeeds.
ContainedStatus RemoveBelow(const std::filesystem::path& root, std::string_view relative_name);

// The path shown in messages: the root followed by the name's components,
// joined with the platform's separator ('/'; '\' on Windows).
std::string ShownPathBelow(const std::filesystem::path& root, std::string_view relative_name);

// True when both relative names have the same components.
bool SameNameBelow(std::string_view a, std::string_view b);

}  // namespace brenvik
