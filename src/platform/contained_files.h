#pragma once
// Files below a root folder, reached without ever leaving it.
//
// Every operation opens the root (following a symbolic link for the root
// itself: users point their download folder wherever they like) and then
// walks down one component at a time with openat(O_NOFOLLOW), so a symbolic
// link anywhere below the root is refused instead of followed; nothing is
// created, written, renamed or removed outside the root through one. Each
// call walks afresh from the root, so a link swapped in between two calls
// is refused too.
//
// Relative names use '/' or '\' as separators; empty and "." components are
// skipped, a ".." component is refused.
//
// Errors are values: errno and one line that names the path and the cause,
// e.g. `cannot create "/x/DIR/a.bin.part": Read-only file system`. A refused
// symbolic link reports ELOOP.
//
// Thread safety: any thread; no state is shared between calls.

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
  explicit ContainedFile(int fd) : file_(fd) {}
  explicit ContainedFile(ContainedError error) : error_(std::move(error)) {}

  bool Ok() const { return file_.get() >= 0; }
  int get() const { return file_.get(); }
  void Close() { file_.Close(); }
  const ContainedError& Error() const { return error_; }

 private:
  FileDescriptor file_;
  ContainedError error_;
};

// The outcome of an operation that leaves no descriptor behind.
struct [[nodiscard]] ContainedStatus {
  ContainedError error;
  bool Ok() const { return error.number == 0; }
};

// Opens the folder `relative_dir` below `root` (the root itself when it is
// empty). With `create`, missing folders are made on the way, the root
// included.
ContainedFile OpenFolderBelow(const std::filesystem::path& root, std::string_view relative_dir,
                              bool create);

// Creates the file `relative_name` below `root` fresh, for writing (mode
// 0644 before the umask), making missing folders. Whatever entry held the
// name is unlinked first (a symbolic link goes, its target stays), so an
// existing file is never opened or truncated; a folder under the name is an
// error.
ContainedFile CreateFreshFileBelow(const std::filesystem::path& root,
                                   std::string_view relative_name);

// Opens the regular file `relative_name` below `root` for reading. A leaf
// that is a symbolic link is refused (ELOOP); a folder gives EISDIR, any
// other kind of entry EINVAL. A FIFO never blocks the call.
ContainedFile OpenForReadingBelow(const std::filesystem::path& root,
                                  std::string_view relative_name);

// Opens the existing regular file `relative_name` below `root` for writing
// at its end, refusing links and other kinds of entry as above.
ContainedFile OpenForAppendingBelow(const std::filesystem::path& root,
                                    std::string_view relative_name);

// Renames `from` to `to`, both below `root`, replacing a file (or link)
// under `to`; missing folders of `to` are made. An existing folder under
// `to` is an error (EISDIR).
ContainedStatus RenameBelow(const std::filesystem::path& root, std::string_view from,
                            std::string_view to);

// Removes the entry `relative_name` below `root` when it is not a folder;
// a name that does not exist is not an error.
ContainedStatus RemoveBelow(const std::filesystem::path& root, std::string_view relative_name);

// The path shown in messages: the root followed by the name's components,
// joined with '/'.
std::string ShownPathBelow(const std::filesystem::path& root, std::string_view relative_name);

// True when both relative names have the same components.
bool SameNameBelow(std::string_view a, std::string_view b);

}  // namespace brenvik
