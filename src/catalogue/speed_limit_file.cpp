#include "catalogue/speed_limit_file.h"

#include <string>
#include <string_view>

#include "catalogue/decimal.h"
#include "catalogue/text_lines.h"
#include "platform/replace_file.h"

namespace brenvik {

namespace {

constexpr std::string_view kMaxRateKey = "max-rate=";
// A settings file is a few lines; anything longer is no file of ours.
constexpr size_t kLongestFile = 4096;

}  // namespace

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
  return ReplaceFileWith(file, "# Brenvik's own settings\n" + std::string(kMaxRateKey) +
                                   std::to_string(bytes_per_second) + "\n");
}

}  // namespace brenvik
