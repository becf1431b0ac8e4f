#pragma once
// The catalogue: what the CD consists of, read from FileList.txt.
//
// FileList.txt is read line by line; empty lines and lines whose first
// character is '#' are skipped. Data line 0 is the version, data line 1 the
// scratch-space need in bytes, and every later data line is a file row
// "name<sep>checksum<sep>size" with tab or colon as either separator.
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
  };
  Kind kind = Kind::kUnreadable;
  unsigned line = 0;  // the physical line (from 1, skipped lines counted); 0 for kUnreadable
};

using CatalogueResult = std::variant<Catalogue, CatalogueError>;

// Parses catalogue text: the first malformed file row is the error.
[[nodiscard]] CatalogueResult ParseCatalogue(std::string_view text);
// Reads and parses `file`.
[[nodiscard]] CatalogueResult LoadCatalogue(const std::filesystem::path& file = kCatalogueFileName);

// The message the user is shown for `error`, e.g. "Error in line 7 in
// FileList.txt! Couldn't find checksum-separator!"; empty for kUnreadable,
// which is not shown (its callers have a message of their own).
std::string CatalogueErrorMessage(const CatalogueError& error);

}  // namespace brenvik
