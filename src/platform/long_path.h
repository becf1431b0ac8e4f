#pragma once
// Paths handed to Windows. The old limit of 260 characters (MAX_PATH) still
// binds most calls unless a path takes the \\?\ form, which the system
// takes as it is: absolute, normalised, with '\' only. The program declares
// itself long-path aware in its manifest, and every path it hands to
// Windows that may be long goes through here, so a download folder deep
// below a long path works from its creation to the installer's start.
//
// Windows only. Thread safety: any thread.

#include <filesystem>
#include <string>
#include <system_error>

namespace brenvik {

// `path` as the file system calls take it: unchanged when it is short, the
// \\?\ form (\\?\UNC\ for a share) when it is long. The working directory
// for an empty path.
std::wstring LongPathOf(const std::filesystem::path& path);

// `path` as the shell takes it, whose calls do not all take the \\?\ form:
// unchanged when it is short; when it is long, its short (8.3) form when
// the volume keeps one and it is short enough, else the \\?\ form.
std::wstring ShellPathOf(const std::filesystem::path& path);

// Creates the folder `path` and its missing parents, long or not; true when
// it is there afterwards, else `error` says why (an errno value).
bool CreateFolders(const std::filesystem::path& path, std::error_code& error);

}  // namespace brenvik
