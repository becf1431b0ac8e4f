#include "platform/contained_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

namespace brenvik {

namespace fs = std::filesystem;

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

constexpr bool IsSeparator(char c) { return c == '/' || c == '\\'; }

struct Components {
  std::vector<std::string> parts;
  bool safe = true;  // false when a component is ".." or the name holds a NUL
};

Components Split(std::string_view relative) {
  Components name;
  name.safe = relative.find('\0') == std::string_view::npos;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = start;
    while (end < relative.size() && !IsSeparator(relative[end])) ++end;
    const std::string_view part = relative.substr(start, end - start);
    if (part == "..") name.safe = false;
    if (!part.empty() && part != ".") name.parts.emplace_back(part);
    start = end + 1;
  }
  return name;
}

std::string RootShown(const fs::path& root) {
  std::string shown = root.empty() ? "." : root.string();
  while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  return shown;
}

std::string Shown(const fs::path& root, const std::vector<std::string>& parts, size_t count) {
  std::string shown = RootShown(root);
  for (size_t i = 0; i < count && i < parts.size(); ++i) {
    if (shown.back() != '/') shown += '/';
    shown += parts[i];
  }
  return shown;
}

ContainedError SystemError(int number, const char* what, const std::string& shown) {
  return {number,
          std::string(what) + " \"" + shown + "\": " + std::generic_category().message(number)};
}

ContainedError LinkError(const std::string& shown) {
  return {ELOOP, "\"" + shown + "\" is a symbolic link that could lead out of the download folder"};
}

// Explains why opening `name` in `parent` failed with `number`: a symbolic
// link is named as such (O_NOFOLLOW reports it as ELOOP or, for folders,
// ENOTDIR).
ContainedError OpenFailure(int parent, const std::string& name, int number, const char* what,
                           const std::string& shown) {
  struct stat info {};
  if ((number == ELOOP || number == ENOTDIR) &&
      ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
    return LinkError(shown);
  }
  return SystemError(number, what, shown);
}

// The root itself may be a symbolic link: it is followed.
FileDescriptor OpenRoot(const fs::path& root, bool create, ContainedError& error) {
  const std::string path = root.empty() ? "." : root.string();
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 && errno == ENOENT && create) {
    std::error_code made;
    fs::create_directories(path, made);
    if (made) {
      error = SystemError(made.value(), "cannot create the folder", RootShown(root));
      return fd;
    }
    fd = FileDescriptor(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (fd.get() < 0) error = SystemError(errno, "cannot open the folder", RootShown(root));
  return fd;
}

FileDescriptor OpenChildFolder(int parent, const std::string& name, bool create,
                               const std::string& shown, ContainedError& error) {
  FileDescriptor fd(::openat(parent, name.c_str(), kFolderFlags));
  if (fd.get() < 0 && errno == ENOENT && create) {
    if (::mkdirat(parent, name.c_str(), kFolderMode) != 0 && errno != EEXIST) {
      error = SystemError(errno, "cannot create the folder", shown);
      return fd;
    }
    fd = FileDescriptor(::openat(parent, name.c_str(), kFolderFlags));
  }
  if (fd.get() < 0) error = OpenFailure(parent, name, errno, "cannot open the folder", shown);
  return fd;
}

// A folder reached from the root: the root's own descriptor when the walk
// took no step, else one the walk opened (and the Folder owns).
struct Folder {
  FileDescriptor owned;
  int fd = -1;  // -1 when a folder on the way was refused
};

// Walks to the folder made of the first `count` components below the root.
Folder WalkFolders(int root_fd, const fs::path& root, const std::vector<std::string>& parts,
                   size_t count, bool create, ContainedError& error) {
  Folder folder{.fd = root_fd};
  for (size_t i = 0; i < count && folder.fd >= 0; ++i) {
    folder.owned = OpenChildFolder(folder.fd, parts[i], create, Shown(root, parts, i + 1), error);
    folder.fd = folder.owned.get();
  }
  return folder;
}

ContainedError UnsafeNameError(const fs::path& root, const Components& name) {
  return {EINVAL, "\"" + Shown(root, name.parts, name.parts.size()) +
                      "\" leads out of the download folder"};
}

// Checks that `name` names an entry below the root; error.number is 0 when it does.
ContainedError CheckLeafName(const fs::path& root, const Components& name) {
  if (!name.safe) return UnsafeNameError(root, name);
  if (name.parts.empty()) return {EINVAL, "no file name below \"" + RootShown(root) + "\""};
  return {};
}

// The folder that holds a checked name's leaf.
Folder OpenParent(int root_fd, const fs::path& root, const Components& name, bool create,
                  ContainedError& error) {
  return WalkFolders(root_fd, root, name.parts, name.parts.size() - 1, create, error);
}

// True when two checked names have their leaves in the same folder.
bool SameParent(const Components& a, const Components& b) {
  return a.parts.size() == b.parts.size() &&
         std::equal(a.parts.begin(), a.parts.end() - 1, b.parts.begin());
}

// The folder that holds the leaf of a relative name, opened, with the leaf
// and the whole path as shown in messages; `folder.fd` is -1 and `error`
// says why when the name or a folder on the way is refused.
struct LeafIn {
  Folder folder;
  std::string leaf;
  std::string shown;
  ContainedError error;
};

LeafIn OpenLeafFolder(int root_fd, const ContainedError& root_error, const fs::path& root,
                      std::string_view relative_name, bool create) {
  const Components name = Split(relative_name);
  LeafIn place;
  place.error = CheckLeafName(root, name);
  if (place.error.number == 0 && root_fd < 0) place.error = root_error;
  if (place.error.number != 0) return place;
  place.folder = OpenParent(root_fd, root, name, create, place.error);
  place.leaf = name.parts.back();
  place.shown = Shown(root, name.parts, name.parts.size());
  return place;
}

int CreateExclusive(int folder, const std::string& leaf) {
  return ::openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  kFileMode);
}

// Opens the regular file `leaf` in `folder` with `access` (O_RDONLY, or
// O_WRONLY | O_APPEND), refusing a leaf that is a link.
ContainedFile OpenRegularIn(int folder, const std::string& leaf, const std::string& shown,
                            int access) {
  // O_NONBLOCK: opening a FIFO planted under the name must not wait for a writer.
  FileDescriptor file(::openat(folder, leaf.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return ContainedFile(OpenFailure(folder, leaf, errno, "cannot open", shown));
  struct stat info {};
  if (::fstat(file.get(), &info) != 0)
    return ContainedFile(SystemError(errno, "cannot open", shown));
  if (S_ISDIR(info.st_mode))
    return ContainedFile(ContainedError{EISDIR, "\"" + shown + "\" is a folder"});
  if (!S_ISREG(info.st_mode)) {
    return ContainedFile(ContainedError{EINVAL, "\"" + shown + "\" is not a regular file"});
  }
  // A regular file may block after all: the status flags become exactly
  // what was asked for, O_NONBLOCK cleared (F_SETFL ignores the access mode).
  (void)::fcntl(file.get(), F_SETFL, access & O_APPEND);
  return ContainedFile(file.Release(), static_cast<uint64_t>(info.st_size));
}

}  // namespace

ContainedFolder ContainedFolder::Open(const fs::path& root, bool create) {
  ContainedFolder folder;
  folder.root_ = root;
  folder.error_ = {};
  folder.fd_ = OpenRoot(root, create, folder.error_);
  return folder;
}

ContainedFolder ContainedFolder::Hold(const fs::path& root, bool create) {
  ContainedFolder folder = Open(root, create);
  struct stat info {};
  if (folder.Ok() && ::fstat(folder.fd_.get(), &info) == 0) {
    folder.identified_ = true;
    folder.device_ = info.st_dev;
    folder.inode_ = info.st_ino;
  }
  return folder;
}

bool ContainedFolder::StillNamedBy(const fs::path& root) const {
  if (!Ok() || !identified_ || root != root_) return false;
  struct stat info {};
  return ::stat(root.empty() ? "." : root.c_str(), &info) == 0 && info.st_dev == device_ &&
         info.st_ino == inode_;
}

ContainedFile ContainedFolder::OpenFolder(std::string_view relative_dir, bool create) const {
  const Components name = Split(relative_dir);
  if (!name.safe) return ContainedFile(UnsafeNameError(root_, name));
  if (!Ok()) return ContainedFile(error_);
  ContainedError error;
  Folder folder = WalkFolders(fd_.get(), root_, name.parts, name.parts.size(), create, error);
  if (folder.fd < 0) return ContainedFile(std::move(error));
  if (folder.owned.get() >= 0) return ContainedFile(folder.owned.Release());
  // The caller owns what it gets: the root itself comes as a copy of its descriptor.
  const int copy = ::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0)
    return ContainedFile(SystemError(errno, "cannot open the folder", RootShown(root_)));
  return ContainedFile(copy);
}

ContainedFile ContainedFolder::CreateNewFile(std::string_view relative_name) const {
  LeafIn place = OpenLeafFolder(fd_.get(), error_, root_, relative_name, true);
  if (place.folder.fd < 0) return ContainedFile(std::move(place.error));
  const int fd = CreateExclusive(place.folder.fd, place.leaf);
  if (fd < 0) return ContainedFile(SystemError(errno, "cannot create", place.shown));
  return ContainedFile(fd);
}

ContainedFile ContainedFolder::CreateFreshFile(std::string_view relative_name) const {
  LeafIn place = OpenLeafFolder(fd_.get(), error_, root_, relative_name, true);
  if (place.folder.fd < 0) return ContainedFile(std::move(place.error));
  // O_EXCL never opens what holds the name; when something does, unlinking
  // it leaves it alone (a link's target, a file another process still has
  // open) and the second try makes a new file.
  int fd = CreateExclusive(place.folder.fd, place.leaf);
  if (fd < 0 && errno == EEXIST) {
    if (::unlinkat(place.folder.fd, place.leaf.c_str(), 0) != 0 && errno != ENOENT) {
      return ContainedFile(SystemError(errno, "cannot create", place.shown));
    }
    fd = CreateExclusive(place.folder.fd, place.leaf);
  }
  if (fd < 0) return ContainedFile(SystemError(errno, "cannot create", place.shown));
  return ContainedFile(fd);
}

ContainedFile ContainedFolder::OpenForReading(std::string_view relative_name) const {
  LeafIn place = OpenLeafFolder(fd_.get(), error_, root_, relative_name, false);
  if (place.folder.fd < 0) return ContainedFile(std::move(place.error));
  return OpenRegularIn(place.folder.fd, place.leaf, place.shown, O_RDONLY);
}

ContainedFile ContainedFolder::OpenForAppending(std::string_view relative_name) const {
  LeafIn place = OpenLeafFolder(fd_.get(), error_, root_, relative_name, false);
  if (place.folder.fd < 0) return ContainedFile(std::move(place.error));
  return OpenRegularIn(place.folder.fd, place.leaf, place.shown, O_WRONLY | O_APPEND);
}

ContainedStatus ContainedFolder::Rename(std::string_view from, std::string_view to) const {
  const Components old_name = Split(from);
  const Components new_name = Split(to);
  ContainedError error = CheckLeafName(root_, old_name);
  if (error.number == 0) error = CheckLeafName(root_, new_name);
  if (error.number == 0 && !Ok()) error = error_;
  if (error.number != 0) return {std::move(error)};
  const Folder old_folder = OpenParent(fd_.get(), root_, old_name, false, error);
  if (old_folder.fd < 0) return {std::move(error)};
  Folder new_folder{.fd = old_folder.fd};
  if (!SameParent(old_name, new_name)) {
    new_folder = OpenParent(fd_.get(), root_, new_name, true, error);
    if (new_folder.fd < 0) return {std::move(error)};
  }
  if (::renameat(old_folder.fd, old_name.parts.back().c_str(), new_folder.fd,
                 new_name.parts.back().c_str()) != 0) {
    const int number = errno;
    return {{number, "cannot rename \"" + Shown(root_, old_name.parts, old_name.parts.size()) +
                         "\" to \"" + Shown(root_, new_name.parts, new_name.parts.size()) +
                         "\": " + std::generic_category().message(number)}};
  }
  return {};
}

ContainedStatus ContainedFolder::Remove(std::string_view relative_name) const {
  const Components name = Split(relative_name);
  ContainedError error = CheckLeafName(root_, name);
  if (error.number == 0 && !Ok()) error = error_;
  if (error.number != 0) return {std::move(error)};
  const Folder folder = OpenParent(fd_.get(), root_, name, false, error);
  // Without its folder the entry does not exist either.
  if (folder.fd < 0) return error.number == ENOENT ? ContainedStatus{} : ContainedStatus{error};
  if (::unlinkat(folder.fd, name.parts.back().c_str(), 0) != 0 && errno != ENOENT) {
    return {SystemError(errno, "cannot remove", Shown(root_, name.parts, name.parts.size()))};
  }
  return {};
}

namespace {

// A name that an operation would refuse anyway never makes the root: the
// free functions create it only for a usable name.
bool UsableLeafName(std::string_view relative_name) {
  const Components name = Split(relative_name);
  return name.safe && !name.parts.empty();
}

}  // namespace

ContainedFile OpenFolderBelow(const fs::path& root, std::string_view relative_dir, bool create) {
  return ContainedFolder::Open(root, create && Split(relative_dir).safe)
      .OpenFolder(relative_dir, create);
}

ContainedFile CreateFreshFileBelow(const fs::path& root, std::string_view relative_name) {
  return ContainedFolder::Open(root, UsableLeafName(relative_name)).CreateFreshFile(relative_name);
}

ContainedFile OpenForReadingBelow(const fs::path& root, std::string_view relative_name) {
  return ContainedFolder::Open(root, false).OpenForReading(relative_name);
}

ContainedFile OpenForAppendingBelow(const fs::path& root, std::string_view relative_name) {
  return ContainedFolder::Open(root, false).OpenForAppending(relative_name);
}

// The old name is below the root, so a missing root is an error, not made.
ContainedStatus RenameBelow(const fs::path& root, std::string_view from, std::string_view to) {
  return ContainedFolder::Open(root, false).Rename(from, to);
}

ContainedStatus RemoveBelow(const fs::path& root, std::string_view relative_name) {
  const ContainedFolder folder = ContainedFolder::Open(root, false);
  ContainedStatus status = folder.Remove(relative_name);
  if (!folder.Ok() && status.error.number == ENOENT) return {};
  return status;
}

std::string ShownPathBelow(const fs::path& root, std::string_view relative_name) {
  const Components name = Split(relative_name);
  return Shown(root, name.parts, name.parts.size());
}

bool SameNameBelow(std::string_view a, std::string_view b) {
  return Split(a).parts == Split(b).parts;
}

}  // namespace brenvik
