#include "platform/contained_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Opens the folder made of the first `count` components below the root.
FileDescriptor WalkFolders(const fs::path& root, const std::vector<std::string>& parts,
                           size_t count, bool create, ContainedError& error) {
  FileDescriptor current = OpenRoot(root, create, error);
  for (size_t i = 0; i < count && current.get() >= 0; ++i) {
    current = OpenChildFolder(current.get(), parts[i], create, Shown(root, parts, i + 1), error);
  }
  return current;
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
FileDescriptor OpenParent(const fs::path& root, const Components& name, bool create,
                          ContainedError& error) {
  return WalkFolders(root, name.parts, name.parts.size() - 1, create, error);
}

// The folder that holds the leaf of a relative name, opened, with the leaf
// and the whole path as shown in messages; `folder` is invalid and `error`
// says why when the name or a folder on the way is refused.
struct LeafIn {
  FileDescriptor folder;
  std::string leaf;
  std::string shown;
  ContainedError error;
};

LeafIn OpenLeafFolder(const fs::path& root, std::string_view relative_name, bool create) {
  const Components name = Split(relative_name);
  LeafIn place;
  place.error = CheckLeafName(root, name);
  if (place.error.number != 0) return place;
  place.folder = OpenParent(root, name, create, place.error);
  place.leaf = name.parts.back();
  place.shown = Shown(root, name.parts, name.parts.size());
  return place;
}

}  // namespace

ContainedFile OpenFolderBelow(const fs::path& root, std::string_view relative_dir, bool create) {
  const Components name = Split(relative_dir);
  ContainedError error;
  if (!name.safe) return ContainedFile(UnsafeNameError(root, name));
  FileDescriptor folder = WalkFolders(root, name.parts, name.parts.size(), create, error);
  if (folder.get() < 0) return ContainedFile(std::move(error));
  return ContainedFile(folder.Release());
}

ContainedFile CreateFreshFileBelow(const fs::path& root, std::string_view relative_name) {
  LeafIn place = OpenLeafFolder(root, relative_name, true);
  if (place.folder.get() < 0) return ContainedFile(std::move(place.error));
  // Unlinking first means whatever held the name (a link, a file another
  // process still has open) is left alone; O_EXCL then guarantees a new file.
  if (::unlinkat(place.folder.get(), place.leaf.c_str(), 0) != 0 && errno != ENOENT) {
    return ContainedFile(SystemError(errno, "cannot create", place.shown));
  }
  const int fd = ::openat(place.folder.get(), place.leaf.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return ContainedFile(SystemError(errno, "cannot create", place.shown));
  return ContainedFile(fd);
}

namespace {

// Opens the regular file `relative_name` below `root` with `access`
// (O_RDONLY, or O_WRONLY | O_APPEND), refusing a leaf that is a link.
ContainedFile OpenRegularBelow(const fs::path& root, std::string_view relative_name, int access) {
  LeafIn place = OpenLeafFolder(root, relative_name, false);
  if (place.folder.get() < 0) return ContainedFile(std::move(place.error));
  const FileDescriptor& folder = place.folder;
  const std::string& leaf = place.leaf;
  const std::string& shown = place.shown;
  // O_NONBLOCK: opening a FIFO planted under the name must not wait for a writer.
  FileDescriptor file(
      ::openat(folder.get(), leaf.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) {
    return ContainedFile(OpenFailure(folder.get(), leaf, errno, "cannot open", shown));
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0)
    return ContainedFile(SystemError(errno, "cannot open", shown));
  if (S_ISDIR(info.st_mode))
    return ContainedFile(ContainedError{EISDIR, "\"" + shown + "\" is a folder"});
  if (!S_ISREG(info.st_mode)) {
    return ContainedFile(ContainedError{EINVAL, "\"" + shown + "\" is not a regular file"});
  }
  const int flags = ::fcntl(file.get(), F_GETFL);
  if (flags >= 0) (void)::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  return ContainedFile(file.Release());
}

}  // namespace

ContainedFile OpenForReadingBelow(const fs::path& root, std::string_view relative_name) {
  return OpenRegularBelow(root, relative_name, O_RDONLY);
}

ContainedFile OpenForAppendingBelow(const fs::path& root, std::string_view relative_name) {
  return OpenRegularBelow(root, relative_name, O_WRONLY | O_APPEND);
}

ContainedStatus RenameBelow(const fs::path& root, std::string_view from, std::string_view to) {
  const Components old_name = Split(from);
  const Components new_name = Split(to);
  ContainedError error = CheckLeafName(root, old_name);
  if (error.number == 0) error = CheckLeafName(root, new_name);
  if (error.number != 0) return {std::move(error)};
  FileDescriptor old_folder = OpenParent(root, old_name, false, error);
  if (old_folder.get() < 0) return {std::move(error)};
  FileDescriptor new_folder = OpenParent(root, new_name, true, error);
  if (new_folder.get() < 0) return {std::move(error)};

  if (::renameat(old_folder.get(), old_name.parts.back().c_str(), new_folder.get(),
                 new_name.parts.back().c_str()) != 0) {
    const int number = errno;
    return {{number, "cannot rename \"" + Shown(root, old_name.parts, old_name.parts.size()) +
                         "\" to \"" + Shown(root, new_name.parts, new_name.parts.size()) +
                         "\": " + std::generic_category().message(number)}};
  }
  return {};
}

ContainedStatus RemoveBelow(const fs::path& root, std::string_view relative_name) {
  const Components name = Split(relative_name);
  ContainedError error = CheckLeafName(root, name);
  if (error.number != 0) return {std::move(error)};
  FileDescriptor folder = OpenParent(root, name, false, error);
  // Without its folder the entry does not exist either.
  if (folder.get() < 0) return error.number == ENOENT ? ContainedStatus{} : ContainedStatus{error};
  if (::unlinkat(folder.get(), name.parts.back().c_str(), 0) != 0 && errno != ENOENT) {
    return {SystemError(errno, "cannot remove", Shown(root, name.parts, name.parts.size()))};
  }
  return {};
}

std::string ShownPathBelow(const fs::path& root, std::string_view relative_name) {
  const Components name = Split(relative_name);
  return Shown(root, name.parts, name.parts.size());
}

bool SameNameBelow(std::string_view a, std::string_view b) {
  return Split(a).parts == Split(b).parts;
}

}  // namespace brenvik
