#include "platform/contained_files.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/contained_walk.h"
#include "platform/held_files.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace contained {

namespace {

constexpr bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// On Windows "C:\" keeps its separator: "C:" alone names the drive's
// working directory instead.
bool KeepsTrailingSeparator(const std::string& shown) {
  return shown.size() <= 1 || (kSeparator == '\\' && shown[shown.size() - 2] == ':');
}

}  // namespace

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

bool SameParent(const Components& a, const Components& b) {
  return a.parts.size() == b.parts.size() &&
         std::equal(a.parts.begin(), a.parts.end() - 1, b.parts.begin());
}

std::string RootShown(const fs::path& root) {
  if (root.empty()) return ".";
  std::string shown = Utf8Of(fs::path(root).make_preferred());
  while (shown.back() == kSeparator && !KeepsTrailingSeparator(shown)) shown.pop_back();
  return shown;
}

std::string Shown(const fs::path& root, const std::vector<std::string>& parts, size_t count) {
  std::string shown = RootShown(root);
  for (size_t i = 0; i < count && i < parts.size(); ++i) {
    if (shown.back() != kSeparator) shown += kSeparator;
    shown += parts[i];
  }
  return shown;
}

ContainedError Failure(int number, std::string_view cause, const char* what,
                       const std::string& shown) {
  return {number, std::string(what) + " \"" + shown + "\": " + std::string(cause)};
}

ContainedError SystemError(int number, const char* what, const std::string& shown) {
  return Failure(number, std::generic_category().message(number), what, shown);
}

ContainedError RenameFailure(int number, std::string_view cause, const fs::path& root,
                             const Components& from, const Components& to) {
  return {number, "cannot rename \"" + ShownWhole(root, from) + "\" to \"" + ShownWhole(root, to) +
                      "\": " + std::string(cause)};
}

ContainedError LinkError(const std::string& shown) {
  return {ELOOP, "\"" + shown + "\" is a symbolic link that could lead out of the download folder"};
}

ContainedError FolderError(const std::string& shown) {
  return {EISDIR, "\"" + shown + "\" is a folder"};
}

ContainedError NotRegularError(const std::string& shown) {
  return {EINVAL, "\"" + shown + "\" is not a regular file"};
}

ContainedError HardLinkError(const std::string& shown) {
  return {EMLINK,
          "\"" + shown + "\" is a hard link to a file that may lie outside the download folder"};
}

}  // namespace contained

using contained::Components;
using contained::Split;

namespace {

ContainedError UnsafeNameError(const fs::path& root, const Components& name) {
  return {EINVAL, "\"" + contained::ShownWhole(root, name) + "\" leads out of the download folder"};
}

// Checks that `name` names an entry below the root; error.number is 0 when it does.
ContainedError CheckLeafName(const fs::path& root, const Components& name) {
  if (!name.safe) return UnsafeNameError(root, name);
  if (name.parts.empty()) {
    return {EINVAL, "no file name below \"" + contained::RootShown(root) + "\""};
  }
  return {};
}

// A name that an operation would refuse anyway never makes the root: the
// free functions create it only for a usable name.
bool UsableLeafName(std::string_view relative_name) {
  return CheckLeafName({}, Split(relative_name)).number == 0;
}

// A try that the held-file probe fails, as a file another program holds
// fails it.
ContainedError HeldByProbe(const char* what, const fs::path& root, const Components& name) {
  ContainedError error =
      contained::Failure(EBUSY, kHeldFileCause, what, contained::ShownWhole(root, name));
  error.held = true;
  return error;
}

bool Held(const ContainedStatus& status) { return status.error.held; }
bool Held(const ContainedFile& file) { return !file.Ok() && file.Error().held; }

// Checks the name of a file operation and that the root is open, then does
// `act` with the name taken apart.
template <typename Result, typename Act>
Result OnLeaf(const ContainedFolder& folder, std::string_view relative_name, const Act& act) {
  const Components name = Split(relative_name);
  ContainedError error = CheckLeafName(folder.Root(), name);
  if (error.number == 0 && !folder.Ok()) error = folder.Error();
  if (error.number != 0) return Result{std::move(error)};
  return act(name);
}

}  // namespace

ContainedFolder ContainedFolder::Open(const fs::path& root, bool create) {
  ContainedFolder folder;
  folder.root_ = root;
  folder.error_ = {};
  folder.fd_ = contained::OpenRoot(root, create, folder.error_);
  return folder;
}

ContainedFolder ContainedFolder::Hold(const fs::path& root, bool create) {
  ContainedFolder folder = Open(root, create);
  contained::FolderIdentity identity;
  if (folder.Ok() && contained::IdentifyOpen(folder.fd_.get(), identity)) {
    folder.identified_ = true;
    folder.device_ = identity.device;
    folder.inode_ = identity.inode;
  }
  return folder;
}

bool ContainedFolder::StillNamedBy(const fs::path& root) const {
  if (!Ok() || !identified_ || root != root_) return false;
  contained::FolderIdentity identity;
  return contained::IdentifyPath(root, identity) &&
         identity == contained::FolderIdentity{device_, inode_};
}

ContainedFile ContainedFolder::OpenFolder(std::string_view relative_dir, bool create) const {
  const Components name = Split(relative_dir);
  if (!name.safe) return ContainedFile(UnsafeNameError(root_, name));
  if (!Ok()) return ContainedFile(error_);
  return contained::OpenFolderAt({fd_.get(), root_}, name, create);
}

ContainedFile ContainedFolder::CreateNewFile(std::string_view relative_name) const {
  return OnLeaf<ContainedFile>(*this, relative_name, [&](const Components& name) {
    return contained::CreateFileAt({fd_.get(), root_}, name, false);
  });
}

ContainedFile ContainedFolder::CreateFreshFile(std::string_view relative_name) const {
  return OnLeaf<ContainedFile>(*this, relative_name, [&](const Components& name) {
    // Whatever holds the name is removed first, and another program may hold it.
    const auto attempt = [&] {
      if (held_files::ProbeHolds("remove", relative_name)) {
        return ContainedFile(HeldByProbe("cannot create", root_, name));
      }
      return contained::CreateFileAt({fd_.get(), root_}, name, true);
    };
    return held_files::RetryWhileHeld<ContainedFile>(attempt, Held);
  });
}

ContainedFile ContainedFolder::OpenForReading(std::string_view relative_name) const {
  return OnLeaf<ContainedFile>(*this, relative_name, [&](const Components& name) {
    return contained::OpenRegularAt({fd_.get(), root_}, name, contained::OpenMode::kRead);
  });
}

ContainedFile ContainedFolder::OpenForAppending(std::string_view relative_name) const {
  return OnLeaf<ContainedFile>(*this, relative_name, [&](const Components& name) {
    return contained::OpenRegularAt({fd_.get(), root_}, name, contained::OpenMode::kAppend);
  });
}

ContainedFile ContainedFolder::OpenForWriting(std::string_view relative_name) const {
  return OnLeaf<ContainedFile>(*this, relative_name, [&](const Components& name) {
    return contained::OpenRegularAt({fd_.get(), root_}, name, contained::OpenMode::kWrite);
  });
}

ContainedStatus ContainedFolder::Rename(std::string_view from, std::string_view to) const {
  const Components old_name = Split(from);
  const Components new_name = Split(to);
  ContainedError error = CheckLeafName(root_, old_name);
  if (error.number == 0) error = CheckLeafName(root_, new_name);
  if (error.number == 0 && !Ok()) error = error_;
  if (error.number != 0) return {std::move(error)};
  const auto attempt = [&] {
    if (held_files::ProbeHolds("rename", from)) {
      ContainedError held =
          contained::RenameFailure(EBUSY, kHeldFileCause, root_, old_name, new_name);
      held.held = true;
      return ContainedStatus{std::move(held)};
    }
    return ContainedStatus{contained::RenameAt({fd_.get(), root_}, old_name, new_name)};
  };
  return held_files::RetryWhileHeld<ContainedStatus>(attempt, Held);
}

ContainedStatus ContainedFolder::Remove(std::string_view relative_name) const {
  return OnLeaf<ContainedStatus>(*this, relative_name, [&](const Components& name) {
    const auto attempt = [&] {
      if (held_files::ProbeHolds("remove", relative_name)) {
        return ContainedStatus{HeldByProbe("cannot remove", root_, name)};
      }
      ContainedError error = contained::RemoveAt({fd_.get(), root_}, name);
      // A missing name, or a missing folder on the way to it: nothing to remove.
      if (error.number == ENOENT) return ContainedStatus{};
      return ContainedStatus{std::move(error)};
    };
    return held_files::RetryWhileHeld<ContainedStatus>(attempt, Held);
  });
}

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
  return contained::ShownWhole(root, Split(relative_name));
}

bool SameNameBelow(std::string_view a, std::string_view b) {
  return Split(a).parts == Split(b).parts;
}

}  // namespace brenvik
