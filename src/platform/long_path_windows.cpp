#include <windows.h>

#include <string>
#include <vector>

#include "platform/long_path.h"
#include "platform/windows_error.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

// Shorter than this, a path needs no \\?\ form: a folder's own limit is
// MAX_PATH less room for an 8.3 file name.
constexpr size_t kShortPath = MAX_PATH - 12;

constexpr const wchar_t* kLongPrefix = LR"(\\?\)";

bool IsLongForm(const std::wstring& path) { return path.rfind(kLongPrefix, 0) == 0; }

// The length of the part of an absolute path that names its volume, with
// its separator: C:\ or \\server\share\, either after the \\?\ prefix.
size_t RootLength(const std::wstring& path) {
  const bool unc_long = path.rfind(LR"(\\?\UNC\)", 0) == 0;
  const bool unc = unc_long || (!IsLongForm(path) && path.rfind(LR"(\\)", 0) == 0);
  if (!unc) return (IsLongForm(path) ? 4 : 0) + 3;
  // The server's and the share's names follow.
  size_t end = unc_long ? 8 : 2;
  for (int part = 0; part < 2 && end < path.size(); ++part) {
    const size_t separator = path.find(L'\\', end);
    end = separator == std::wstring::npos ? path.size() : separator + 1;
  }
  return end;
}

}  // namespace

std::wstring LongPathOf(const fs::path& path) {
  if (path.empty()) return L".";
  const std::wstring& given = path.native();
  if (given.size() < kShortPath || IsLongForm(given)) return given;
  std::error_code failed;
  const fs::path absolute = fs::absolute(path, failed);
  if (failed) return given;
  const std::wstring normal = absolute.lexically_normal().make_preferred().native();
  if (normal.rfind(LR"(\\)", 0) == 0) return LR"(\\?\UNC\)" + normal.substr(2);
  return kLongPrefix + normal;
}

std::wstring ShellPathOf(const fs::path& path) {
  const std::wstring long_form = LongPathOf(path);
  if (!IsLongForm(long_form)) return long_form;
  const DWORD needed = ::GetShortPathNameW(long_form.c_str(), nullptr, 0);
  if (needed == 0) return long_form;
  std::wstring short_form(needed, L'\0');
  const DWORD got = ::GetShortPathNameW(long_form.c_str(), short_form.data(), needed);
  if (got == 0 || got >= needed) return long_form;
  short_form.resize(got);
  // The short form keeps the prefix it was asked with; the shell wants it
  // without, which only a short enough path may drop.
  if (short_form.rfind(LR"(\\?\UNC\)", 0) == 0)
    short_form = LR"(\\)" + short_form.substr(8);
  else if (IsLongForm(short_form))
    short_form = short_form.substr(4);
  return short_form.size() < MAX_PATH ? short_form : long_form;
}

bool CreateFolders(const fs::path& path, std::error_code& error) {
  error.clear();
  const fs::path absolute = fs::absolute(path, error);
  if (error) return false;
  const std::wstring whole = LongPathOf(absolute);
  // Every parent in turn, from the first after the root: each one that is
  // missing is made.
  std::vector<std::wstring> folders;
  std::wstring current = whole;
  while (!current.empty() && current.back() == L'\\') current.pop_back();
  for (;;) {
    const DWORD attributes = ::GetFileAttributesW(current.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = std::make_error_code(std::errc::not_a_directory);
        return false;
      }
      break;
    }
    folders.push_back(current);
    const size_t separator = current.find_last_of(L'\\');
    if (separator == std::wstring::npos || separator < RootLength(current)) break;
    current.resize(separator);
  }
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    if (!::CreateDirectoryW(folder->c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      error = std::error_code(ErrnoOfWindowsError(::GetLastError()), std::generic_category());
      return false;
    }
  }
  return true;
}

}  // namespace brenvik
