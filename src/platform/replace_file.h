#pragma once
// Replacing a small file whole: the new content goes to a fresh file beside
// the target, is written through to the disk, and is then renamed over the
// target, so that a failure or a crash at any point leaves either the
// earlier file or the new one, never a mix, and no temporary file behind
// after a failure.
//
// Thread safety: any thread; two calls for the same target race, and the
// later rename wins.

#include <filesystem>
#include <string_view>

namespace brenvik {

// Replaces (or creates) `target` with `content`, a file for anyone to read
// (mode 0644 before the umask on POSIX). False when it could not.
[[nodiscard]] bool ReplaceFileWith(const std::filesystem::path& target, std::string_view content);

// The platform's steps, used by ReplaceFileWith only.
namespace replace_steps {

// Creates a new file beside `target` under an unused name, stored in
// `temp`, open for writing: its descriptor, or -1.
int CreateBeside(const std::filesystem::path& target, std::filesystem::path& temp);
// Renames `temp` over `target` and makes the rename last; false on failure.
bool MoveOver(const std::filesystem::path& temp, const std::filesystem::path& target);
void RemoveTemp(const std::filesystem::path& temp);

}  // namespace replace_steps

}  // namespace brenvik
