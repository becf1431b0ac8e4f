#include "catalogue/catalogue.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "catalogue/decimal.h"
#include "catalogue/text_lines.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "texts/printable_text.h"

namespace brenvik {

namespace {

constexpr const char* kNoChecksumSeparator =
    "Error in line %u in FileList.txt! Couldn't find checksum-separator!";
constexpr const char* kNoSizeSeparator =
    "Error in line %u in FileList.txt! Couldn't find filesize-separator!";
constexpr const char* kPartialSuffix = ".part";
constexpr const char* kUnsafeName = "Error in line %u in FileList.txt! Unsafe file name!";
constexpr const char* kFolderName =
    "Error in line %u in FileList.txt! The row names a folder, not a file!";
constexpr const char* kNotACatalogue = "FileList.txt is not a catalogue: %s";

// Either separator may be a tab or a colon.
constexpr std::string_view kSeparators = "\t:";

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  const uint64_t sum = a + b;  // unsigned: wraps, never undefined
  return sum < a ? std::numeric_limits<uint64_t>::max() : sum;
}

// Both separators name the same local path, so names are compared with '/'
// only; where names ignore case (Windows), in one case as well, so that
// "a.bin" and "A.BIN" never share a partial file. A row's folders are taken
// too: "a.part/x" makes "a.part" a folder that a partial file must not try
// to be.
void NamePartialFiles(std::vector<CatalogueEntry>& entries) {
  const auto normal = [](std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if constexpr (kThisSystemsNameRules == NameRules::kWindows) name = FoldedAsciiCase(name);
    return name;
  };
  std::unordered_set<std::string> taken;
  for (const CatalogueEntry& entry : entries) {
    const std::string name = normal(entry.name);
    taken.insert(name);
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      taken.insert(name.substr(0, slash));
    }
  }
  // The partial file's validator file ("<partial>.validator") must be free too.
  const auto free = [&](const std::string& partial) {
    return !taken.contains(normal(partial)) && !taken.contains(normal(ValidatorNameOf(partial)));
  };
  for (CatalogueEntry& entry : entries) {
    std::string partial = entry.name + kPartialSuffix;
    for (unsigned n = 1; !free(partial); ++n) {
      partial = entry.name + kPartialSuffix + std::to_string(n);
    }
    taken.insert(normal(partial));
    taken.insert(normal(ValidatorNameOf(partial)));
    entry.partial_name = std::move(partial);
  }
}

// True when `text` starts with the magic bytes of a compressed or archive
// format a server might send in place of the text asked for.
bool StartsCompressed(std::string_view text) {
  using namespace std::string_view_literals;
  static constexpr std::string_view kMagics[] = {
      "\x1F\x8B"sv,            // gzip
      "\x1F\x9D"sv,            // compress
      "\xFD\x37zXZ\0"sv,       // xz
      "\x28\xB5\x2F\xFD"sv,    // zstd
      "\x04\x22\x4D\x18"sv,    // lz4
      "PK\x03\x04"sv,          // zip
      "7z\xBC\xAF\x27\x1C"sv,  // 7-zip
  };
  for (const std::string_view magic : kMagics) {
    if (text.starts_with(magic)) return true;
  }
  // bzip2: "BZh", the block size digit, then the block magic.
  return text.size() >= 10 && text.starts_with("BZh") && text[3] >= '1' && text[3] <= '9' &&
         text.substr(4, 6) == "1AY&SY";
}

// What the whole text is when it cannot be a catalogue, before any line of it
// is taken.
std::optional<CatalogueError::Kind> NotCatalogueText(std::string_view text) {
  using enum CatalogueError::Kind;
  if (text.size() > kCatalogueFileLimit) return kTooLarge;
  if (StartsCompressed(text)) return kCompressed;
  if (text.find('\0') != std::string_view::npos) return kBinary;
  std::string_view start = text;
  if (start.starts_with("\xEF\xBB\xBF")) start.remove_prefix(3);
  const size_t first = start.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string_view::npos) return kEmpty;
  // A catalogue starts with a comment or its version; a web page (an error
  // or maintenance page, a captive portal) or an XML error starts with '<'.
  if (start[first] == '<') return kWebPage;
  return std::nullopt;
}

// A name whose last component is empty or "." names a folder.
bool NamesFolder(std::string_view name) {
  const size_t slash = name.find_last_of("/\\");
  const std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
  return last.empty() || last == ".";
}

// One file row, or why it is malformed.
std::variant<CatalogueEntry, CatalogueError::Kind> ParseRow(std::string_view line) {
  const size_t first = line.find_first_of(kSeparators);
  if (first == std::string_view::npos) return CatalogueError::Kind::kNoChecksumSeparator;
  const std::string_view after_name = line.substr(first + 1);
  const size_t second = after_name.find_first_of(kSeparators);
  if (second == std::string_view::npos) return CatalogueError::Kind::kNoSizeSeparator;
  CatalogueEntry entry;
  entry.name.assign(line.substr(0, first));
  // A name is joined to the download folder; one that could reach outside
  // it (absolute, a drive, "..") is refused like any other malformed row.
  if (!IsSafeRelativeName(entry.name)) return CatalogueError::Kind::kUnsafeName;
  if (NamesFolder(entry.name)) return CatalogueError::Kind::kFolderName;
  entry.checksum.assign(after_name.substr(0, second));
  entry.size = DecimalConversion(after_name.substr(second + 1));
  return entry;
}

}  // namespace

Catalogue::Catalogue(std::string version, uint64_t scratch_space_need,
                     std::vector<CatalogueEntry> entries)
    : version_(std::move(version)),
      scratch_space_need_(scratch_space_need),
      entries_(std::move(entries)) {
  for (const CatalogueEntry& entry : entries_) total_ = SaturatingAdd(total_, entry.size);
  NamePartialFiles(entries_);
}

bool IsSafeVersion(std::string_view version) {
  return version.size() <= kVersionLimit && version != "." &&
         version.find_first_not_of(' ') != std::string_view::npos &&
         version.find_first_of("/\\") == std::string_view::npos &&
         version.find("..") == std::string_view::npos &&
         IsSafeRelativeName(version, NameRules::kPortable) && PrintableLine(version) == version;
}

CatalogueResult ParseCatalogue(std::string_view text) {
  if (const auto kind = NotCatalogueText(text)) return CatalogueError{*kind, 0};
  std::string version;
  uint64_t scratch_space_need = 0;
  std::vector<CatalogueEntry> entries;
  unsigned line_number = 0;
  size_t data_line = 0;
  std::string_view rest = text;
  std::string_view line;
  while (NextLine(rest, line)) {
    ++line_number;  // physical lines, skipped ones included, from 1
    if (IsSkippedLine(line)) continue;
    const size_t index = data_line++;
    if (index == 0) {
      if (!IsSafeVersion(line))
        return CatalogueError{CatalogueError::Kind::kBadVersion, line_number};
      version.assign(line);
    } else if (index == 1) {
      scratch_space_need = DecimalConversion(line);
    } else {
      auto row = ParseRow(line);
      if (const auto* kind = std::get_if<CatalogueError::Kind>(&row)) {
        return CatalogueError{*kind, line_number};
      }
      entries.push_back(std::move(std::get<CatalogueEntry>(row)));
    }
  }
  if (entries.empty()) return CatalogueError{CatalogueError::Kind::kNoFileRows, 0};
  return Catalogue(std::move(version), scratch_space_need, std::move(entries));
}

CatalogueResult LoadCatalogue(const std::filesystem::path& file) {
  // The catalogue is small; reading it whole lets the file and the text in
  // memory share one parser.
  std::string text;
  if (!ReadWholeFile(file, text, kCatalogueFileLimit)) {
    return CatalogueError{CatalogueError::Kind::kUnreadable, 0};
  }
  return ParseCatalogue(text);
}

std::string CatalogueErrorMessage(const CatalogueError& error) {
  switch (error.kind) {
    case CatalogueError::Kind::kUnreadable:
      break;
    case CatalogueError::Kind::kNoChecksumSeparator:
      return Format(kNoChecksumSeparator, error.line);
    case CatalogueError::Kind::kNoSizeSeparator:
      return Format(kNoSizeSeparator, error.line);
    case CatalogueError::Kind::kUnsafeName:
      return Format(kUnsafeName, error.line);
    case CatalogueError::Kind::kFolderName:
      return Format(kFolderName, error.line);
    default:
      return Format(kNotACatalogue, WhatArrived(error).c_str());
  }
  return {};
}

std::string WhatArrived(const CatalogueError& error) {
  switch (error.kind) {
    case CatalogueError::Kind::kTooLarge:
      return "larger than 64 MiB";
    case CatalogueError::Kind::kEmpty:
      return "the server sent an empty file";
    case CatalogueError::Kind::kBinary:
      return "the server sent binary data (NUL bytes), not text";
    case CatalogueError::Kind::kCompressed:
      return "the server sent compressed data";
    case CatalogueError::Kind::kWebPage:
      return "the server sent a web page";
    case CatalogueError::Kind::kBadVersion:
      return Format("the version on line %u is not a safe folder name", error.line);
    case CatalogueError::Kind::kNoFileRows:
      return "no file rows";
    default:
      break;
  }
  return {};
}

}  // namespace brenvik
