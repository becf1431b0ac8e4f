#pragma once
// The inside of platform/contained_files.h, split in two. The shared half
// (contained_files.cpp) takes names apart, checks them and shapes the
// messages; each platform's half (contained_files_posix.cpp,
// contained_files_windows.cpp) opens the root and walks below it. Only
// those three files include this.
//
// Thread safety: as for platform/contained_files.h.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/contained_files.h"

namespace brenvik::contained {

// A relative name taken apart at its separators.
struct Components {
  std::vector<std::string> parts;
  bool safe = true;  // false when a component is ".." or the name holds a NUL
};

Components Split(std::string_view relative);

// True when two names with a leaf each have their leaves in the same folder.
bool SameParent(const Components& a, const Components& b);

// The root as shown in messages ("." for the working directory).
std::string RootShown(const std::filesystem::path& root);
// The root followed by the first `count` components, as shown in messages.
std::string Shown(const std::filesystem::path& root, const std::vector<std::string>& parts,
                  size_t count);
inline std::string ShownWhole(const std::filesystem::path& root, const Components& name) {
  return Shown(root, name.parts, name.parts.size());
}

// `what "shown": cause`, e.g. `cannot create "/x/a.bin": Read-only file system`.
ContainedError Failure(int number, std::string_view cause, const char* what,
                       const std::string& shown);
// The same with the C library's text for `number` as the cause.
ContainedError SystemError(int number, const char* what, const std::string& shown);
ContainedError RenameFailure(int number, std::string_view cause, const std::filesystem::path& root,
                             const Components& from, const Components& to);
ContainedError LinkError(const std::string& shown);
ContainedError FolderError(const std::string& shown);      // EISDIR
ContainedError NotRegularError(const std::string& shown);  // EINVAL
ContainedError HardLinkError(const std::string& shown);    // EMLINK

// Which folder an open root is, to tell it from another one later.
struct FolderIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FolderIdentity&) const = default;
};

// ---------------------------------------------------------------------------
// The platform's half. Every name it is given is safe; those of files and of
// renames have a leaf. `root` is the open root's descriptor and `root_path`
// its path, for messages.

struct Root {
  int fd;
  const std::filesystem::path& path;
};

// Opens `root` (the working directory when it is empty), following a link
// for the root itself; with `create` a missing root and its parents are made.
FileDescriptor OpenRoot(const std::filesystem::path& root, bool create, ContainedError& error);
bool IdentifyOpen(int fd, FolderIdentity& identity);
bool IdentifyPath(const std::filesystem::path& root, FolderIdentity& identity);

ContainedFile OpenFolderAt(const Root& root, const Components& dir, bool create);
// With `replace`, whatever holds the name goes first (a folder is an error);
// without, an entry under the name is reported as EEXIST.
ContainedFile CreateFileAt(const Root& root, const Components& name, bool replace);
// How OpenRegularAt opens a file: for reading, for writing at its end, or
// for writing anywhere in it (from its start; the caller seeks).
enum class OpenMode { kRead, kAppend, kWrite };
// Opens the regular file; a file to write that has more than one name is
// refused with HardLinkError.
ContainedFile OpenRegularAt(const Root& root, const Components& name, OpenMode mode);
ContainedError RenameAt(const Root& root, const Components& from, const Components& to);
ContainedError RemoveAt(const Root& root, const Components& name);

}  // namespace brenvik::contained
