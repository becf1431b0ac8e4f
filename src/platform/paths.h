#pragma once
// Paths and names: joining the download folder with a catalogue name, the
// safety rule for catalogue names, the platform separator, the home and
// default folders, and making the folders along a path.
//
// Thread safety: any thread.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace brenvik {

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// The rules a catalogue name is held to: those every platform shares, or
// those plus the names Windows treats specially.
enum class NameRules { kPortable, kWindows };
#ifdef _WIN32
inline constexpr NameRules kThisSystemsNameRules = NameRules::kWindows;
#else
inline constexpr NameRules kThisSystemsNameRules = NameRules::kPortable;
#endif

// True when `name` stays inside the download folder: not empty, not
// absolute (no leading '/' or '\'), no colon (so no drive letter and no
// alternate stream), no NUL byte, no ".." component. Both '/' and '\'
// separate components. With NameRules::kWindows every component must also
// pass IsWindowsSafeComponent.
bool IsSafeRelativeName(std::string_view name, NameRules rules);
inline bool IsSafeRelativeName(const std::string& name) {
  return IsSafeRelativeName(name, kThisSystemsNameRules);
}

// False for a name component Windows would not store as written or would
// read as something other than a file: a device name (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, CONIN$, CONOUT$, in any case, also with an
// extension and with blanks before it: "nul.txt", "COM1 .bin"); a component
// that ends in a dot or a blank (Windows drops them, so "a." would be "a");
// one that holds < > " | ? * : or a control character. An empty component
// passes (doubled and trailing separators are harmless).
bool IsWindowsSafeComponent(std::string_view component);

// True when `a` and `b` are equal once ASCII letters are folded to one
// case; other bytes must match exactly.
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b);

// `text` with its ASCII letters folded to lower case, the case
// EqualIgnoringAsciiCase ignores; other bytes as they are.
std::string FoldedAsciiCase(std::string text);

// The length of the root at the front of a Windows path, either separator
// counting: "C:\" (3), "C:" (2, drive-relative), "\\server\share\" (the
// share's root, which can only be named, not made), "\\?\C:\" and
// "\\?\UNC\server\share\" (long-path forms), "\" (the current drive's root);
// 0 for a relative path.
size_t WindowsRootLength(std::string_view path);

// The local path of a catalogue name in `folder` (which ends with the
// separator): the folder followed by the name, '/' and '\' in the name
// becoming the platform's separator.
std::string LocalPath(const std::string& folder, const std::string& name);

// `folder` with the platform separator appended when it does not end with one
// ('/' also counts as one on Windows).
std::string WithTrailingSeparator(std::string folder);

// The user's home folder, without a trailing separator; empty when the
// system does not know it. POSIX: $HOME, else the password database.
// Windows: %USERPROFILE%, else the profile folder the shell knows.
std::string HomeFolder();

// The default download folder (ends with the separator). POSIX:
// $HOME/Downloads/PellixInstall/, or below the temporary folder when there
// is no home. Windows: C:\Temp\PellixInstall\.
std::string DefaultDownloadFolder();

// Creates each directory along `folder`, from the root towards the leaf, one
// level at a time, ignoring failures; the last component only when the
// folder ends with a separator. On Windows the root (a drive's, or a share's
// "\\server\share\") is never made, and both separators count.
void CreateDirectoriesAlong(const std::string& folder);

// The file kept beside a partial download, holding the validator (ETag or
// Last-Modified) its data came with, so a later attempt can resume it.
inline std::string ValidatorNameOf(const std::string& partial_name) {
  return partial_name + ".validator";
}

}  // namespace brenvik
