#pragma once
// Files below a root folder, reached without ever leaving it.
//
// The root is opened first (following a symbolic link for the root itself:
// users point their download folder wherever they like); every operation
// then walks down from the root's descriptor one component at a time with
// openat(O_NOFOLLOW), so a symbolic link anywhere below the root is refused
// instead of followed; nothing is created, written, renamed or removed
// outside the root through one. Each operation walks afresh from the root's
// descriptor, so a link swapped in below the root between two operations is
// refused too. A ContainedFolder keeps the root open for many operations;
// the free functions open it for one.
//
// Relative names use '/' or '\' as separators; empty and "." components are
// skipped, a ".." component is refused.
//
// Errors are values: errno and one line that names the path and the cause,
// e.g. `cannot create "/x/DIR/a.bin.part": Read-only file system`. A refused
// symbolic link reports ELOOP.
//
// Thread safety: any thread. A ContainedFolder's operations only read it,
// so several threads may share one; the free functions share no state.

#include <sys/types.h>

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
};

// A descriptor opened below the root, or why none could be opened.
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
  // leads to it still (one stat of the path, no descriptor opened).
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
  // refusing links and other kinds of entry as above.
  ContainedFile OpenForAppending(std::string_view relative_name) const;

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
  bool identified_ = false;  // Hold noted the root's device and inode
  dev_t device_ = 0;
  ino_t inode_ = 0;
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
// joined with '/'.
std::string ShownPathBelow(const std::filesystem::path& root, std::string_view relative_name);

// True when both relative names have the same components.
bool SameNameBelow(std::string_view a, std::string_view b);

}  // namespace brenvik
