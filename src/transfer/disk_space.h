#pragma once
// The disk-space check: makes sure the drive of `path` has `need` bytes
// free. When it has not, the user is told how much to free (scaled to kilo-,
// Mega- or Gigabytes) and may free space and Retry (a fresh query) or Cancel.
// Returns true when there is room, false when the user gave up.
//
// Thread safety: any thread; it keeps no state.

#include <cstdint>
#include <string>

namespace brenvik {

class FreeSpace;
class Prompt;

inline constexpr const char* kScratchSpaceLine = "(This space is required for downloading files)\n";
inline constexpr const char* kSelectAnotherFolderLine = "(Click Cancel to select another folder)\n";
inline constexpr const char* kProgramAbortedLine =
    "If you click Cancel, the program will be aborted.";

[[nodiscard]] bool CheckDiskSpace(const std::string& path, uint64_t need,
                                  const std::string& extra_line, Prompt& prompt,
                                  FreeSpace& free_space);

// The message shown for a shortfall (exposed for the faces' tests).
std::string DiskSpaceMessage(const std::string& drive, uint64_t shortfall,
                             const std::string& extra_line);

}  // namespace brenvik
