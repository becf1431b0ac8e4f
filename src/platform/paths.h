#pragma once
// Paths and names: joining the download folder with a catalogue name, the
// safety rule for catalogue names, and the platform separator.
//
// Thread safety: any thread.

#include <filesystem>
#include <string>

namespace brenvik {

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// True when `name` stays inside the download folder: not empty, not
// absolute (no leading '/' or '\'), no colon (so no drive letter), no NUL
// byte, no ".." component. Both '/' and '\' separate components.
bool IsSafeRelativeName(const std::string& name);

// The local path of a catalogue name in `folder` (which ends with the
// separator): the folder followed by the name, '/' and '\' in the name
// becoming the platform's separator.
std::string LocalPath(const std::string& folder, const std::string& name);

// `folder` with the platform separator appended when it does not end with one
// ('/' also counts as one on Windows).
std::string WithTrailingSeparator(std::string folder);

// The default download folder: $HOME/Downloads/PellixInstall/ (ends with the separator).
std::string DefaultDownloadFolder();

// Creates each directory along `folder`, from the root towards the leaf, one
// level at a time, ignoring failures; the last component only when the
// folder ends with a separator.
void CreateDirectoriesAlong(const std::string& folder);

// The file kept beside a partial download, holding the validator (ETag or
// Last-Modified) its data came with, so a later attempt can resume it.
inline std::string ValidatorNameOf(const std::string& partial_name) {
  return partial_name + ".validator";
}

}  // namespace brenvik
