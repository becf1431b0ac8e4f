#include "transfer/disk_space.h"

#include <array>

#include "platform/free_space.h"
#include "platform/prompt.h"

namespace brenvik {

namespace {

constexpr const char* kNotEnoughSpaceFormat =
    "There is not enough space on the \"%s\" drive for the selected operation.\n"
    "You need to free up %u %sbytes on the drive to continue\n%s\nClick RETRY to try again.";

// A 64-bit shortfall divided by 1024 at most six times stays below 1024,
// so the unit index never runs past "Exa".
constexpr std::array<const char*, 7> kUnitWords = {"",     "kilo", "Mega", "Giga",
                                                   "Tera", "Peta", "Exa"};

}  // namespace

std::string DiskSpaceMessage(const std::string& drive, uint64_t shortfall,
                             const std::string& extra_line) {
  size_t unit = 0;
  while (shortfall > 1023 && unit + 1 < kUnitWords.size()) {
    shortfall >>= 10;  // rounded down: "1 Megabytes" for 1,500,000 bytes
    ++unit;
  }
  return Format(kNotEnoughSpaceFormat, drive.c_str(), static_cast<unsigned>(shortfall),
                kUnitWords[unit], extra_line.c_str());
}

bool CheckDiskSpace(const std::string& path, uint64_t need, const std::string& extra_line,
                    Prompt& prompt, FreeSpace& free_space) {
  // A drive that cannot be queried keeps the count at zero, so the user
  // sees the whole need as the shortfall rather than a silent pass.
  uint64_t free_bytes = 0;
  for (;;) {
    if (const auto available = free_space.AvailableBytes(path)) free_bytes = *available;
    if (free_bytes >= need) return true;
    const std::string text =
        DiskSpaceMessage(free_space.DriveOf(path), need - free_bytes, extra_line);
    if (prompt.Ask(text, PromptButtons::kRetryCancel, PromptIcon::kStop) != PromptAnswer::kRetry) {
      return false;
    }
  }
}

}  // namespace brenvik
