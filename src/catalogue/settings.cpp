#include "catalogue/settings.h"

#include <string_view>

#include "catalogue/text_lines.h"
#include "platform/paths.h"
#include "platform/replace_file.h"

namespace brenvik {

namespace {

constexpr std::string_view kHeaderLine = "# OrvBrenvik.ini\n";

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

bool Settings::Load(const std::filesystem::path& file) {
  std::string text;
  if (!ReadWholeFile(file, text)) return false;
  std::string_view rest = text;
  std::string_view line;
  while (NextLine(rest, line)) {
    // A line of blanks names no folder; joining file names to it would put
    // them in the working directory under odd names.
    if (IsSkippedLine(line) || IsBlank(line)) continue;
    // A folder stored by hand may lack its separator; file names are joined
    // to it directly, so without one they would land beside it.
    stored_folder_ = WithTrailingSeparator(std::string(line));
    return true;
  }
  return false;
}

void Settings::SetStoredFolder(std::string folder) {
  stored_folder_ = std::move(folder);
  CreateDirectoriesAlong(stored_folder_);
}

bool Settings::Save(const std::filesystem::path& file) const {
  std::string content(kHeaderLine);
  content += stored_folder_;
  content += '\n';
  // Whole or not at all: a failure leaves the earlier file as it was.
  return ReplaceFileWith(file, content);
}

}  // namespace brenvik
