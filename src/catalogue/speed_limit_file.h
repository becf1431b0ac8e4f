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
#include <string>
#include <string_view>

namespace brenvik {

inline constexpr const char* kSpeedLimitFileName = "brenvik-settings.ini";

// The most a limit may be: a terabyte per second.
inline constexpr uint64_t kMostRate = uint64_t{1} << 40;
// The least a limit may be. Shared by as many as 64 downloads at once, it
// still gives each more than a kilobyte a minute, which is what tells a
// slow transfer from a stalled one.
inline constexpr uint64_t kLeastRate = 16 * 1024;

// A rate as the command line and the windows take it: bytes per second,
// with k (1024) or M (1024 * 1024) after the number ("500k", "2M"); 0 is no
// limit. nullopt for anything else, and for a limit below kLeastRate or
// above kMostRate.
std::optional<uint64_t> ParseRate(std::string_view text);
// A rate as ParseRate takes it back, in the largest unit that shows it
// whole ("2M", "500k", "1000"); "0" for none.
std::string RateText(uint64_t bytes_per_second);

// The kept limit: a number of bytes per second, 0 for none; nullopt when
// the file is missing or gives none.
std::optional<uint64_t> LoadSpeedLimit(const std::filesystem::path& file);
// Replaces the file (making its folder when missing) with one that keeps
// `bytes_per_second`; false when it could not be written (any earlier file
// then stays as it was).
[[nodiscard]] bool SaveSpeedLimit(const std::filesystem::path& file, uint64_t bytes_per_second);

}  // namespace brenvik
