// The POSIX half of platform/contained_files.h: a walk with openat and
// O_NOFOLLOW from the root's descriptor.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/contained_walk.h"

namespace brenvik::contained {

namespace fs = std::filesystem;

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

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
Folder WalkFolders(const Root& root, const std::vector<std::string>& parts, size_t count,
                   bool create, ContainedError& error) {
  Folder folder{.fd = root.fd};
  for (size_t i = 0; i < count && folder.fd >= 0; ++i) {
    folder.owned =
        OpenChildFolder(folder.fd, parts[i], create, Shown(root.path, parts, i + 1), error);
    folder.fd = folder.owned.get();
  }
  return folder;
}

// The folder that holds the leaf of a name.
Folder OpenParent(const Root& root, const Components& name, bool create, ContainedError& error) {
  return WalkFolders(root, name.parts, name.parts.size() - 1, create, error);
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
  if (S_ISDIR(info.st_mode)) return ContainedFile(FolderError(shown));
  if (!S_ISREG(info.st_mode)) return ContainedFile(NotRegularError(shown));
  // Writing to a file with another name would change that file too, and
  // the other name may be anywhere on the file system.
  if ((access & O_WRONLY) != 0 && info.st_nlink > 1) return ContainedFile(HardLinkError(shown));
  // A regular file may block after all: the status flags become exactly
  // what was asked for, O_NONBLOCK cleared (F_SETFL ignores the access mode).
  (void)::fcntl(file.get(), F_SETFL, access & O_APPEND);
  return ContainedFile(file.Release(), static_cast<uint64_t>(info.st_size));
}

bool IdentityOf(const struct stat& info, FolderIdentity& identity) {
  identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return true;
}

}  // namespace

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

bool IdentifyOpen(int fd, FolderIdentity& identity) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && IdentityOf(info, identity);
}

bool IdentifyPath(const fs::path& root, FolderIdentity& identity) {
  struct stat info {};
  return ::stat(root.empty() ? "." : root.c_str(), &info) == 0 && IdentityOf(info, identity);
}

ContainedFile OpenFolderAt(const Root& root, const Components& dir, bool create) {
  ContainedError error;
  Folder folder = WalkFolders(root, dir.parts, dir.parts.size(), create, error);
  if (folder.fd < 0) return ContainedFile(std::move(error));
  if (folder.owned.get() >= 0) return ContainedFile(folder.owned.Release());
  // The caller owns what it gets: the root itself comes as a copy of its descriptor.
  const int copy = ::fcntl(root.fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0)
    return ContainedFile(SystemError(errno, "cannot open the folder", RootShown(root.path)));
  return ContainedFile(copy);
}

ContainedFile CreateFileAt(const Root& root, const Components& name, bool replace) {
  ContainedError error;
  const Folder folder = OpenParent(root, name, true, error);
  if (folder.fd < 0) return ContainedFile(std::move(error));
  const std::string& leaf = name.parts.back();
  // O_EXCL never opens what holds the name; when something does, unlinking
  // it leaves it alone (a link's target, a file another process still has
  // open) and the second try makes a new file.
  int fd = CreateExclusive(folder.fd, leaf);
  if (fd < 0 && errno == EEXIST && replace) {
    if (::unlinkat(folder.fd, leaf.c_str(), 0) != 0 && errno != ENOENT) {
      return ContainedFile(SystemError(errno, "cannot create", ShownWhole(root.path, name)));
    }
    fd = CreateExclusive(folder.fd, leaf);
  }
  if (fd < 0)
    return ContainedFile(SystemError(errno, "cannot create", ShownWhole(root.path, name)));
  return ContainedFile(fd);
}

ContainedFile OpenRegularAt(const Root& root, const Components& name, OpenMode mode) {
  ContainedError error;
  const Folder folder = OpenParent(root, name, false, error);
  if (folder.fd < 0) return ContainedFile(std::move(error));
  const int access = mode == OpenMode::kAppend  ? O_WRONLY | O_APPEND
                     : mode == OpenMode::kWrite ? O_WRONLY
                                                : O_RDONLY;
  return OpenRegularIn(folder.fd, name.parts.back(), ShownWhole(root.path, name), access);
}

ContainedError RenameAt(const Root& root, const Components& from, const Components& to) {
  ContainedError error;
  const Folder old_folder = OpenParent(root, from, false, error);
  if (old_folder.fd < 0) return error;
  Folder new_folder{.fd = old_folder.fd};
  if (!SameParent(from, to)) {
    new_folder = OpenParent(root, to, true, error);
    if (new_folder.fd < 0) return error;
  }
  if (::renameat(old_folder.fd, from.parts.back().c_str(), new_folder.fd,
                 to.parts.back().c_str()) != 0) {
    const int number = errno;
    return RenameFailure(number, std::generic_category().message(number), root.path, from, to);
  }
  return {};
}

ContainedError RemoveAt(const Root& root, const Components& name) {
  ContainedError error;
  const Folder folder = OpenParent(root, name, false, error);
  if (folder.fd < 0) return error;
  if (::unlinkat(folder.fd, name.parts.back().c_str(), 0) != 0 && errno != ENOENT) {
    return SystemError(errno, "cannot remove", ShownWhole(root.path, name));
  }
  return {};
}

}  // namespace brenvik::contained
