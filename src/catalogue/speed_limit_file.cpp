#include "catalogue/speed_limit_file.h"

#include <string>
#include <string_view>
#include <system_error>

#include "catalogue/decimal.h"
#include "catalogue/text_lines.h"
#include "platform/replace_file.h"

namespace brenvik {

namespace {

constexpr std::string_view kMaxRateKey = "max-rate=";
// A settings file is a few lines; anything longer is no file of ours.
constexpr size_t kLongestFile = 4096;

}  // namespace

std::optional<uint64_t> ParseRate(std::string_view text) {
  uint64_t unit = 1;
  if (text.ends_with('k') || text.ends_with('K')) unit = 1024;
  if (text.ends_with('m') || text.ends_with('M')) unit = 1024 * 1024;
  if (unit != 1) text.remove_suffix(1);
  const std::optional<uint64_t> number = ParseWholeNumber(text, kMostRate / unit);
  if (!number || (*number != 0 && *number * unit < kLeastRate)) return std::nullopt;
  return *number * unit;
}

std::string RateText(uint64_t bytes_per_second) {
  if (bytes_per_second != 0 && bytes_per_second % (1024 * 1024) == 0) {
    return std::to_string(bytes_per_second / (1024 * 1024)) + "M";
  }
  if (bytes_per_second != 0 && bytes_per_second % 1024 == 0) {
    return std::to_string(bytes_per_second / 1024) + "k";
  }
  return std::to_string(bytes_per_second);
}

std::optional<uint64_t> LoadSpeedLimit(const std::filesystem::path& file) {
  std::string text;
  if (!ReadWholeFile(file, text, kLongestFile) || text.size() > kLongestFile) return std::nullopt;
  std::string_view rest = text;
  std::string_view line;
  while (NextLine(rest, line)) {
    if (IsSkippedLine(line) || !line.starts_with(kMaxRateKey)) continue;
    return ParseWholeNumber(line.substr(kMaxRateKey.size()));
  }
  return std::nullopt;
}

bool SaveSpeedLimit(const std::filesystem::path& file, uint64_t bytes_per_second) {
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  return ReplaceFileWith(file, "# Brenvik's own settings\n" + std::string(kMaxRateKey) +
                                   std::to_string(bytes_per_second) + "\n");
}

}  // namespace brenvik
