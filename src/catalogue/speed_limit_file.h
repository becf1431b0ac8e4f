#pragma once
// The speed limit kept from one run to the next, in a settings file of its
// own beside the state folder's other files (OrvBrenvik.ini keeps its
// format for every Brenvik that reads it).
//
// Format: "# Brenvik's own settings\n" then "max-rate=<bytes per second>\n".
// As read: blank and '#' lines are skipped, an unknown key is ignored, a
// value that is not a whole number makes the file give no limit.
//
// Thread safety: plain functions; any thread.

#include <cstdint>
#include <filesystem>
#include <optional>

namespace brenvik {

inline constexpr const char* kSpeedLimitFileName = "brenvik-settings.ini";

// The kept limit: a number of bytes per second, 0 for none; nullopt when
// the file is missing or gives none.
std::optional<uint64_t> LoadSpeedLimit(const std::filesystem::path& file);
// Replaces the file with one that keeps `bytes_per_second`; false when it
// could not be written (any earlier file then stays as it was).
[[nodiscard]] bool SaveSpeedLimit(const std::filesystem::path& file, uint64_t bytes_per_second);

}  // namespace brenvik
