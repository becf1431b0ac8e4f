#include "catalogue/catalogue.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>

#include "catalogue/decimal.h"
#include "catalogue/text_lines.h"
#include "platform/paths.h"
#include "platform/prompt.h"

namespace brenvik {

namespace {

constexpr const char* kNoChecksumSeparator =
    "Error in line %u in FileList.txt! Couldn't find checksum-separator!";
constexpr const char* kNoSizeSeparator =
    "Error in line %u in FileList.txt! Couldn't find filesize-separator!";
constexpr const char* kPartialSuffix = ".part";
constexpr const char* kUnsafeName = "Error in line %u in FileList.txt! Unsafe file name!";

// Either separator may be a tab or a colon.
constexpr std::string_view kSeparators = "\t:";

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  const uint64_t sum = a + b;  // unsigned: wraps, never undefined
  return sum < a ? std::numeric_limits<uint64_t>::max() : sum;
}

}  // namespace

bool Catalogue::Load(Prompt& prompt, const std::filesystem::path& file) {
  entries_.clear();
  total_ = 0;
  // The catalogue is small; reading it whole lets the file and the in-memory
  // text share one parser. A file that cannot be opened or read to its end is
  // a silent failure: the callers have their own message for it.
  std::string text;
  if (!ReadWholeFile(file, text)) return false;
  return LoadFromText(prompt, text);
}

bool Catalogue::LoadFromText(Prompt& prompt, std::string_view text) {
  entries_.clear();
  total_ = 0;
  unsigned line_number = 0;
  size_t data_line = 0;
  std::string_view rest = text;
  std::string_view line;
  while (NextLine(rest, line)) {
    ++line_number;  // physical lines, skipped ones included, from 1
    if (IsSkippedLine(line)) continue;
    const size_t index = data_line++;
    if (index == 0) {
      version_.assign(line);
      continue;
    }
    if (index == 1) {
      scratch_space_need_ = DecimalConversion(line);
      continue;
    }
    const size_t first = line.find_first_of(kSeparators);
    if (first == std::string_view::npos) return Fail(prompt, kNoChecksumSeparator, line_number);
    const std::string_view after_name = line.substr(first + 1);
    const size_t second = after_name.find_first_of(kSeparators);
    if (second == std::string_view::npos) return Fail(prompt, kNoSizeSeparator, line_number);
    CatalogueEntry entry;
    entry.name.assign(line.substr(0, first));
    // A name is joined to the download folder; one that could reach outside
    // it (absolute, a drive, "..") is refused like any other malformed row.
    if (!IsSafeRelativeName(entry.name)) return Fail(prompt, kUnsafeName, line_number);
    entry.checksum.assign(after_name.substr(0, second));
    entry.size = DecimalConversion(after_name.substr(second + 1));
    total_ = SaturatingAdd(total_, entry.size);
    entries_.push_back(std::move(entry));
  }
  NamePartialFiles();
  return true;
}

void Catalogue::NamePartialFiles() {
  // Both separators name the same local path, so names are compared with
  // '/' only. A row's folders are taken too: "a.part/x" makes "a.part" a
  // folder that a partial file must not try to be.
  const auto normal = [](std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
  };
  std::unordered_set<std::string> taken;
  for (const CatalogueEntry& entry : entries_) {
    const std::string name = normal(entry.name);
    taken.insert(name);
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      taken.insert(name.substr(0, slash));
    }
  }
  for (CatalogueEntry& entry : entries_) {
    std::string partial = entry.name + kPartialSuffix;
    for (unsigned n = 1; taken.contains(normal(partial)); ++n) {
      partial = entry.name + kPartialSuffix + std::to_string(n);
    }
    taken.insert(normal(partial));
    entry.partial_name = std::move(partial);
  }
}

bool Catalogue::Fail(Prompt& prompt, const char* format, unsigned line) {
  // The user closes the message before the flag stops the workers, so the
  // message is seen before anything else reacts to the failure.
  prompt.Ask(Format(format, line), PromptButtons::kOk, PromptIcon::kNone);
  SetAbortFlag();
  return false;
}

}  // namespace brenvik
