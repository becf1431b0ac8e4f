#pragma once
// The catalogue: what the CD consists of, read from FileList.txt.
//
// FileList.txt is read line by line; empty lines and lines whose first
// character is '#' are skipped. Data line 0 is the version, data line 1 the
// scratch-space need in bytes, and every later data line is a file row
// "name<sep>checksum<sep>size" with tab or colon as either separator.
//
// A catalogue must look like one before anything is taken from it: at
// most kCatalogueFileLimit bytes of text (no NUL byte, not compressed data,
// not a web page), a version line that is a safe single folder name (it is
// a folder in every file's URL), and at least one file row. A file row must
// name a file below the download folder, never a folder.
//
// Parsing gives either the catalogue, a plain value, or the error that
// stopped it; showing the error and ending the run are the caller's.
//
// Thread safety: plain functions and values. A catalogue is filled before
// the workers start and only read afterwards, from any thread.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brenvik {

inline constexpr const char* kCatalogueFileName = "FileList.txt";
// The largest catalogue taken: a release of 100,000 files needs a few MiB.
inline constexpr uint64_t kCatalogueFileLimit = 64ull << 20;
// The longest version line taken, in bytes.
inline constexpr size_t kVersionLimit = 64;

struct CatalogueEntry {
  std::string name;      // exactly as the catalogue gives it (may hold / or \ for subfolders)
  std::string checksum;  // 32 hex digits when well formed (either case)
  uint64_t size = 0;
  // Where a download of this row is written until it is complete: beside the
  // file, under a name that no row of the catalogue (nor a folder a row
  // needs, nor another row's partial file) has; the same holds for its
  // validator file, ValidatorNameOf(partial_name).
  std::string partial_name;
};

class Catalogue {
 public:
  // The empty catalogue: no version, no rows.
  Catalogue() = default;
  // The rows in catalogue order; each row's partial name is chosen here
  // (whatever the entries held) and the total is the sum of the sizes,
  // saturating at UINT64_MAX.
  Catalogue(std::string version, uint64_t scratch_space_need, std::vector<CatalogueEntry> entries);

  int RowCount() const { return static_cast<int>(entries_.size()); }
  const CatalogueEntry& Entry(int row) const { return entries_[static_cast<size_t>(row)]; }
  const std::vector<CatalogueEntry>& Entries() const { return entries_; }
  uint64_t Total() const { return total_; }
  uint64_t ScratchSpaceNeed() const { return scratch_space_need_; }
  const std::string& Version() const { return version_; }

 private:
  std::string version_;
  uint64_t scratch_space_need_ = 0;
  uint64_t total_ = 0;
  std::vector<CatalogueEntry> entries_;
};

// Why a catalogue could not be had.
struct CatalogueError {
  enum class Kind {
    kUnreadable,           // the file cannot be opened or read to its end
    kNoChecksumSeparator,  // a file row without its first separator
    kNoSizeSeparator,      // a file row without its second separator
    kUnsafeName,           // a file row naming a file outside the download folder
    kFolderName,           // a file row naming a folder ("sub/")
    // What arrived is not a catalogue at all (NotACatalogue() below):
    kTooLarge,    // more than kCatalogueFileLimit bytes
    kEmpty,       // nothing but blanks and line ends
    kBinary,      // holds NUL bytes
    kCompressed,  // starts like gzip, bzip2, xz, zstd, zip, ... data
    kWebPage,     // starts with '<', as HTML and XML do
    kBadVersion,  // the version line is not a safe single folder name
    kNoFileRows,  // not one file row
  };
  Kind kind = Kind::kUnreadable;
  // The physical line (from 1, skipped lines counted) of a malformed file row
  // or of kBadVersion; 0 for the other kinds.
  unsigned line = 0;

  // True when the text is no catalogue at all (the server sent something
  // else), as opposed to a catalogue with a malformed file row, or a file
  // that cannot be read.
  [[nodiscard]] bool NotACatalogue() const { return kind >= Kind::kTooLarge; }
};

using CatalogueResult = std::variant<Catalogue, CatalogueError>;

// Parses catalogue text: what is not a catalogue at all, or else the first
// malformed line, is the error.
[[nodiscard]] CatalogueResult ParseCatalogue(std::string_view text);
// Reads and parses `file`; a file larger than kCatalogueFileLimit is
// kTooLarge without being read whole.
[[nodiscard]] CatalogueResult LoadCatalogue(const std::filesystem::path& file = kCatalogueFileName);

// The message the user is shown for `error`, e.g. "Error in line 7 in
// FileList.txt! Couldn't find checksum-separator!", or for what is not a
// catalogue "FileList.txt is not a catalogue: " + WhatArrived(error); empty
// for kUnreadable, which is not shown (its callers have a message of their
// own).
std::string CatalogueErrorMessage(const CatalogueError& error);
// What arrived instead of a catalogue, e.g. "the server sent a web page";
// empty unless error.NotACatalogue().
std::string WhatArrived(const CatalogueError& error);

// True when `version` can be the release's folder in a URL: one line of at
// most kVersionLimit bytes of printable UTF-8 (no control or invisible
// format character), a single folder name (no '/', '\' or colon, no "..",
// not ".").
bool IsSafeVersion(std::string_view version);

}  // namespace brenvik
