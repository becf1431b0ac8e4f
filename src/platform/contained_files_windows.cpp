// The Windows half of platform/contained_files.h. Every component is
// opened relative to the handle of the folder before it (NtCreateFile with
// a root directory, the system's own counterpart of openat), with
// FILE_OPEN_REPARSE_POINT so that a symbolic link, junction or mount point
// is opened itself instead of followed, and then refused. Walking by handle
// also keeps the held root the folder it was when opened, even when its
// path is renamed, as on POSIX; and no path ever grows past MAX_PATH.
//
// Reparse points that do not redirect a name (cloud-synchronised files and
// folders, deduplicated or compressed files) are opened again the ordinary
// way so that their file system filter serves them, and kept only when that
// second open reached the same entry.

#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS

#include <fcntl.h>
#include <io.h>
#include <ntstatus.h>
#include <winternl.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/contained_walk.h"
#include "platform/held_files.h"
#include "platform/long_path.h"
#include "platform/wide_text.h"
#include "platform/windows_error.h"

namespace brenvik::contained {

namespace fs = std::filesystem;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// Information classes and flags of Windows 10 1709 and later; older
// systems (and Wine) reject them, and the classic forms serve instead.
constexpr auto kFileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
constexpr auto kFileRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;
constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;
constexpr ULONG kRenameIgnoreReadOnly = 0x40;

// Owns one handle from the system and closes it at the end of its scope.
struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

HANDLE SystemHandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// ------------------------------------------------------------------ names

constexpr size_t kLongestName = 255;  // UTF-16 units

// The names Windows keeps for devices, in any folder and with any extension.
bool IsDeviceName(const std::wstring& name) {
  std::wstring base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
  static constexpr const wchar_t* kDevices[] = {L"CON", L"PRN",    L"AUX",
                                                L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kDevices) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.starts_with(L"COM") || base.starts_with(L"LPT")) &&
         base[3] >= L'1' && base[3] <= L'9';
}

// True when Windows programs can open a file of this name: the system
// itself would create one the shell, the installer or a later run could
// not name again.
bool IsUsableName(const std::wstring& name) {
  if (name.empty() || name.back() == L'.' || name.back() == L' ') return false;
  for (const wchar_t c : name) {
    if (c < 32 || std::wcschr(L"<>:\"|?*", c) != nullptr) return false;
  }
  return !IsDeviceName(name);
}

// The name's components as Windows takes them; an error for the first one
// that is not valid UTF-8 or not a usable name.
ContainedError WideParts(const Root& root, const Components& name,
                         std::vector<std::wstring>& wide) {
  wide.resize(name.parts.size());
  for (size_t i = 0; i < name.parts.size(); ++i) {
    const std::string shown = "\"" + Shown(root.path, name.parts, i + 1) + "\"";
    if (!StrictWide(name.parts[i], wide[i]) || !IsUsableName(wide[i])) {
      return {EINVAL, shown + " is not a name Windows can use"};
    }
    // Every Windows file system stops there; each reports it in its own way.
    if (wide[i].size() > kLongestName) {
      return {ENAMETOOLONG, shown + " is longer than a name on Windows can be"};
    }
  }
  return {};
}

// ------------------------------------------------------------------ errors

// Why a call failed, in the program's terms.
struct Cause {
  int number;
  std::string text;
  bool held = false;  // another program holds the file for now
};

Cause CauseOf(NTSTATUS status) {
  switch (status) {
    // The system's own text for these speaks of an invalid name or of
    // access, which hides the cause.
    case STATUS_NOT_A_DIRECTORY:
      return {ENOTDIR, std::generic_category().message(ENOTDIR)};
    case STATUS_FILE_IS_A_DIRECTORY:
      return {EISDIR, std::generic_category().message(EISDIR)};
    case STATUS_DELETE_PENDING:
      return {EBUSY, "a file of this name is being deleted but is still open elsewhere", true};
    // Opened by another program that lets nobody delete or rename it
    // meanwhile (a virus scanner, the indexer, a sync client), or locked.
    case STATUS_SHARING_VIOLATION:
    case STATUS_FILE_LOCK_CONFLICT:
    case STATUS_LOCK_NOT_GRANTED:
      return {EBUSY, kHeldFileCause, true};
    default:
      break;
  }
  const ULONG code = ::RtlNtStatusToDosError(status);
  return {ErrnoOfWindowsError(code), WindowsErrorText(code)};
}

// STATUS_STOPPED_ON_SYMLINK stands for a refused link throughout this file.
ContainedError StatusError(NTSTATUS status, const char* what, const std::string& shown) {
  if (status == STATUS_STOPPED_ON_SYMLINK) return LinkError(shown);
  const Cause cause = CauseOf(status);
  ContainedError error = Failure(cause.number, cause.text, what, shown);
  error.held = cause.held;
  return error;
}

ContainedError LastError(const char* what, const std::string& shown) {
  const DWORD code = ::GetLastError();
  return Failure(ErrnoOfWindowsError(code), WindowsErrorText(code), what, shown);
}

// ------------------------------------------------------------------ opening

struct Request {
  ACCESS_MASK access;
  ULONG disposition;  // FILE_OPEN, FILE_CREATE or FILE_OPEN_IF
  ULONG options;      // FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE, ...
};

NTSTATUS OpenRelative(HANDLE folder, const std::wstring& name, const Request& request,
                      ULONG more_options, Handle& opened) {
  if (name.size() > 32000) return STATUS_NAME_TOO_LONG;
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.data());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      ::NtCreateFile(&handle, request.access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io,
                     nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll, request.disposition,
                     request.options | more_options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (NT_SUCCESS(status)) opened = Handle(handle);
  return status;
}

struct AttributeTag {
  ULONG attributes = 0;
  ULONG reparse_tag = 0;
};

NTSTATUS QueryAttributeTag(HANDLE handle, AttributeTag& tag) {
  IO_STATUS_BLOCK io{};
  return ::NtQueryInformationFile(handle, &io, &tag, sizeof tag, FileAttributeTagInformation);
}

bool IdentityOfHandle(HANDLE handle, FolderIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  identity = {info.dwVolumeSerialNumber,
              (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

bool SameEntry(HANDLE a, HANDLE b) {
  FolderIdentity first;
  FolderIdentity second;
  return IdentityOfHandle(a, first) && IdentityOfHandle(b, second) && first == second;
}

// Opens `name` in `folder` as `request` asks without following a link: an
// entry that redirects its name is refused (STATUS_STOPPED_ON_SYMLINK); any
// other reparse point is opened again the ordinary way.
NTSTATUS OpenEntry(HANDLE folder, const std::wstring& name, const Request& request,
                   Handle& opened) {
  Handle entry;
  NTSTATUS status = OpenRelative(folder, name, request, FILE_OPEN_REPARSE_POINT, entry);
  if (!NT_SUCCESS(status)) return status;
  AttributeTag tag;
  status = QueryAttributeTag(entry.get(), tag);
  if (!NT_SUCCESS(status)) return status;
  if ((tag.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    opened = std::move(entry);
    return STATUS_SUCCESS;
  }
  if (IsReparseTagNameSurrogate(tag.reparse_tag)) return STATUS_STOPPED_ON_SYMLINK;
  Handle served;
  status = OpenRelative(folder, name, {request.access, FILE_OPEN, request.options}, 0, served);
  if (!NT_SUCCESS(status)) return status;
  // Swapped for a link between the two opens: the second one followed it.
  if (!SameEntry(entry.get(), served.get())) return STATUS_STOPPED_ON_SYMLINK;
  opened = std::move(served);
  return STATUS_SUCCESS;
}

bool IsMissing(NTSTATUS status) {
  return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND;
}

// A C runtime descriptor that takes over `handle`; -1 (and the handle
// closed) when the runtime has no descriptor left.
int DescriptorOf(Handle handle, int flags) {
  const int fd =
      ::_open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), flags | _O_BINARY | _O_NOINHERIT);
  if (fd >= 0) (void)handle.release();
  return fd;
}

// Writing to a file with another name would change that file too, and the
// other name may be anywhere on the volume. A file whose links cannot be
// counted is taken to have others.
bool HasOtherNames(HANDLE file) {
  FILE_STANDARD_INFO info{};
  return !::GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) ||
         info.NumberOfLinks > 1;
}

ContainedFile FileOf(Handle handle, int flags, uint64_t size, const std::string& shown) {
  const int fd = DescriptorOf(std::move(handle), flags);
  if (fd < 0) return ContainedFile(SystemError(EMFILE, "cannot open", shown));
  return ContainedFile(fd, size);
}

// ------------------------------------------------------------------ walking

// A folder reached from the root: the root's own handle when the walk took
// no step, else one the walk opened (and the Folder owns).
struct Folder {
  Handle owned;
  HANDLE handle = nullptr;  // null when a folder on the way was refused
};

NTSTATUS OpenChildFolder(HANDLE parent, const std::wstring& name, bool create, Handle& opened,
                         const char*& what) {
  what = "cannot open the folder";
  NTSTATUS status =
      OpenEntry(parent, name, {kFolderAccess, FILE_OPEN, FILE_DIRECTORY_FILE}, opened);
  if (IsMissing(status) && create) {
    what = "cannot create the folder";
    status = OpenEntry(parent, name, {kFolderAccess, FILE_OPEN_IF, FILE_DIRECTORY_FILE}, opened);
  }
  return status;
}

// Walks to the folder made of the first `count` components below the root.
Folder WalkFolders(const Root& root, const Components& name, const std::vector<std::wstring>& wide,
                   size_t count, bool create, ContainedError& error) {
  Folder folder{.handle = SystemHandleOf(root.fd)};
  for (size_t i = 0; i < count; ++i) {
    const char* what = nullptr;
    Handle next;
    const NTSTATUS status = OpenChildFolder(folder.handle, wide[i], create, next, what);
    if (!NT_SUCCESS(status)) {
      error = StatusError(status, what, Shown(root.path, name.parts, i + 1));
      return {};
    }
    folder.owned = std::move(next);
    folder.handle = folder.owned.get();
  }
  return folder;
}

// The folder that holds a name's leaf, with the name as Windows takes it.
struct LeafIn {
  Folder folder;
  std::vector<std::wstring> wide;
  ContainedError error;
  const std::wstring& Leaf() const { return wide.back(); }
};

LeafIn OpenLeafFolder(const Root& root, const Components& name, bool create) {
  LeafIn place;
  place.error = WideParts(root, name, place.wide);
  if (place.error.number == 0) {
    place.folder = WalkFolders(root, name, place.wide, name.parts.size() - 1, create, place.error);
  }
  return place;
}

// ------------------------------------------------------------------ leaves

// True when the system or the file system does not know an extended
// information class or its flags.
bool LacksExtendedForm(NTSTATUS status) {
  return status == STATUS_INVALID_INFO_CLASS || status == STATUS_NOT_IMPLEMENTED ||
         status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_PARAMETER;
}

// Marks the open entry for deletion; its name goes at once where the file
// system allows, else when the last handle to it closes.
NTSTATUS DeleteOpen(HANDLE handle) {
  IO_STATUS_BLOCK io{};
  ULONG flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
  NTSTATUS status =
      ::NtSetInformationFile(handle, &io, &flags, sizeof flags, kFileDispositionInformationEx);
  if (!LacksExtendedForm(status)) return status;
  FILE_DISPOSITION_INFORMATION classic{TRUE};
  return ::NtSetInformationFile(handle, &io, &classic, sizeof classic, FileDispositionInformation);
}

// Removes the entry `leaf` of `folder` unless it is a folder; a link goes,
// its target stays.
ContainedError RemoveIn(HANDLE folder, const std::wstring& leaf, const char* what,
                        const std::string& shown) {
  Handle entry;
  NTSTATUS status =
      OpenRelative(folder, leaf, {DELETE, FILE_OPEN, 0}, FILE_OPEN_REPARSE_POINT, entry);
  if (!NT_SUCCESS(status)) return StatusError(status, what, shown);
  AttributeTag tag;
  status = QueryAttributeTag(entry.get(), tag);
  const bool link = (tag.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                    IsReparseTagNameSurrogate(tag.reparse_tag);
  if (NT_SUCCESS(status) && (tag.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link) {
    status = STATUS_FILE_IS_A_DIRECTORY;
  }
  if (NT_SUCCESS(status)) status = DeleteOpen(entry.get());
  return NT_SUCCESS(status) ? ContainedError{} : StatusError(status, what, shown);
}

NTSTATUS CreateExclusive(HANDLE folder, const std::wstring& leaf, Handle& created) {
  return OpenEntry(folder, leaf, {FILE_GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE},
                   created);
}

// True when `leaf` in `folder` is a folder itself (not a link to one).
bool IsFolderIn(HANDLE folder, const std::wstring& leaf) {
  Handle entry;
  AttributeTag tag;
  return NT_SUCCESS(
             OpenRelative(folder, leaf, {0, FILE_OPEN, 0}, FILE_OPEN_REPARSE_POINT, entry)) &&
         NT_SUCCESS(QueryAttributeTag(entry.get(), tag)) &&
         (tag.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
             FILE_ATTRIBUTE_DIRECTORY;
}

// Renames the open entry to `leaf` in `folder`, replacing a file there.
NTSTATUS RenameOpen(HANDLE entry, HANDLE folder, const std::wstring& leaf) {
  const size_t name_bytes = leaf.size() * sizeof(wchar_t);
  std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFORMATION) + name_bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  info->RootDirectory = folder;
  info->FileNameLength = static_cast<ULONG>(name_bytes);
  std::memcpy(info->FileName, leaf.data(), name_bytes);
  // The extended form shares the layout, its flags in place of ReplaceIfExists.
  const ULONG flags = kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly;
  std::memcpy(buffer.data(), &flags, sizeof flags);
  IO_STATUS_BLOCK io{};
  const auto size = static_cast<ULONG>(buffer.size());
  NTSTATUS status = ::NtSetInformationFile(entry, &io, info, size, kFileRenameInformationEx);
  if (!LacksExtendedForm(status)) return status;
  const ULONG replace = kRenameReplaceIfExists;
  std::memcpy(buffer.data(), &replace, sizeof replace);
  return ::NtSetInformationFile(entry, &io, info, size, FileRenameInformation);
}

Handle OpenRootHandle(const fs::path& root, DWORD access) {
  // FILE_FLAG_BACKUP_SEMANTICS opens folders; a link for the root is followed.
  return Handle(::CreateFileW(LongPathOf(root).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

}  // namespace

FileDescriptor OpenRoot(const fs::path& root, bool create, ContainedError& error) {
  const DWORD access = kFolderAccess | SYNCHRONIZE;
  Handle handle = OpenRootHandle(root, access);
  const DWORD missing = ::GetLastError();
  if (handle.get() == INVALID_HANDLE_VALUE && create &&
      (missing == ERROR_FILE_NOT_FOUND || missing == ERROR_PATH_NOT_FOUND)) {
    std::error_code made;
    if (!CreateFolders(root, made)) {
      error = SystemError(made.value(), "cannot create the folder", RootShown(root));
      return {};
    }
    handle = OpenRootHandle(root, access);
  }
  if (handle.get() == INVALID_HANDLE_VALUE) {
    error = LastError("cannot open the folder", RootShown(root));
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(handle.get(), &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = SystemError(ENOTDIR, "cannot open the folder", RootShown(root));
    return {};
  }
  FileDescriptor fd(DescriptorOf(std::move(handle), _O_RDONLY));
  if (fd.get() < 0) error = SystemError(EMFILE, "cannot open the folder", RootShown(root));
  return fd;
}

bool IdentifyOpen(int fd, FolderIdentity& identity) {
  return IdentityOfHandle(SystemHandleOf(fd), identity);
}

bool IdentifyPath(const fs::path& root, FolderIdentity& identity) {
  const Handle handle = OpenRootHandle(root, FILE_READ_ATTRIBUTES);
  return handle.get() != INVALID_HANDLE_VALUE && IdentityOfHandle(handle.get(), identity);
}

ContainedFile OpenFolderAt(const Root& root, const Components& dir, bool create) {
  std::vector<std::wstring> wide;
  ContainedError error = WideParts(root, dir, wide);
  if (error.number != 0) return ContainedFile(std::move(error));
  Folder folder = WalkFolders(root, dir, wide, dir.parts.size(), create, error);
  if (folder.handle == nullptr) return ContainedFile(std::move(error));
  if (folder.owned.get() == nullptr) {
    // The caller owns what it gets: the root itself comes as a copy of its handle.
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), folder.handle, ::GetCurrentProcess(), &copy, 0,
                           FALSE, DUPLICATE_SAME_ACCESS)) {
      return ContainedFile(LastError("cannot open the folder", RootShown(root.path)));
    }
    folder.owned = Handle(copy);
  }
  return FileOf(std::move(folder.owned), _O_RDONLY, 0, ShownWhole(root.path, dir));
}

ContainedFile CreateFileAt(const Root& root, const Components& name, bool replace) {
  LeafIn place = OpenLeafFolder(root, name, true);
  if (place.folder.handle == nullptr) return ContainedFile(std::move(place.error));
  const std::string shown = ShownWhole(root.path, name);
  Handle created;
  // FILE_CREATE never opens what holds the name; when something does, it
  // is removed (a link's target stays) and the second try makes a new file.
  NTSTATUS status = CreateExclusive(place.folder.handle, place.Leaf(), created);
  if (status == STATUS_OBJECT_NAME_COLLISION && replace) {
    ContainedError removed = RemoveIn(place.folder.handle, place.Leaf(), "cannot create", shown);
    if (removed.number != 0 && removed.number != ENOENT) return ContainedFile(std::move(removed));
    status = CreateExclusive(place.folder.handle, place.Leaf(), created);
  }
  if (!NT_SUCCESS(status)) return ContainedFile(StatusError(status, "cannot create", shown));
  return FileOf(std::move(created), 0, 0, shown);
}

ContainedFile OpenRegularAt(const Root& root, const Components& name, OpenMode mode) {
  const bool write = mode != OpenMode::kRead;
  const bool append = mode == OpenMode::kAppend;
  LeafIn place = OpenLeafFolder(root, name, false);
  if (place.folder.handle == nullptr) return ContainedFile(std::move(place.error));
  const std::string shown = ShownWhole(root.path, name);
  const Request request =
      write ? Request{FILE_GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE}
            : Request{FILE_GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY};
  Handle file;
  const NTSTATUS status = OpenEntry(place.folder.handle, place.Leaf(), request, file);
  if (status == STATUS_FILE_IS_A_DIRECTORY) return ContainedFile(FolderError(shown));
  if (!NT_SUCCESS(status)) return ContainedFile(StatusError(status, "cannot open", shown));
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return ContainedFile(NotRegularError(shown));
  if (write && HasOtherNames(file.get())) return ContainedFile(HardLinkError(shown));
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return ContainedFile(LastError("cannot open", shown));
  ContainedFile opened = FileOf(std::move(file),
                                append  ? _O_APPEND
                                : write ? 0
                                        : _O_RDONLY,
                                static_cast<uint64_t>(size.QuadPart), shown);
  if (opened.Ok() && append) (void)::_lseeki64(opened.get(), 0, SEEK_END);
  return opened;
}

ContainedError RenameAt(const Root& root, const Components& from, const Components& to) {
  LeafIn old_place = OpenLeafFolder(root, from, false);
  if (old_place.folder.handle == nullptr) return old_place.error;
  LeafIn new_place;
  if (SameParent(from, to)) {
    // Names in the same folder walk to it once.
    new_place.error = WideParts(root, to, new_place.wide);
    if (new_place.error.number == 0) new_place.folder.handle = old_place.folder.handle;
  } else {
    new_place = OpenLeafFolder(root, to, true);
  }
  if (new_place.folder.handle == nullptr) return new_place.error;
  // The entry itself is renamed, a link included, as on POSIX.
  Handle entry;
  NTSTATUS status = OpenRelative(old_place.folder.handle, old_place.Leaf(), {DELETE, FILE_OPEN, 0},
                                 FILE_OPEN_REPARSE_POINT, entry);
  if (NT_SUCCESS(status))
    status = RenameOpen(entry.get(), new_place.folder.handle, new_place.Leaf());
  if (NT_SUCCESS(status)) return {};
  // Windows refuses to replace a folder as it refuses any access; say which.
  if (status == STATUS_ACCESS_DENIED && IsFolderIn(new_place.folder.handle, new_place.Leaf())) {
    status = STATUS_FILE_IS_A_DIRECTORY;
  }
  const Cause cause = CauseOf(status);
  ContainedError error = RenameFailure(cause.number, cause.text, root.path, from, to);
  error.held = cause.held;
  return error;
}

ContainedError RemoveAt(const Root& root, const Components& name) {
  LeafIn place = OpenLeafFolder(root, name, false);
  if (place.folder.handle == nullptr) return place.error;
  return RemoveIn(place.folder.handle, place.Leaf(), "cannot remove", ShownWhole(root.path, name));
}

}  // namespace brenvik::contained
