#pragma once
// The catalogue: what the CD consists of, read from FileList.txt.
//
// FileList.txt is read line by line; empty lines and lines whose first
// character is '#' are skipped. Data line 0 is the version, data line 1 the
// scratch-space need in bytes, and every later data line is a file row
// "name<sep>checksum<sep>size" with tab or colon as either separator.
//
// Thread safety: Load and SetDownloadFolder run on the face's thread before
// the workers start; afterwards the catalogue is only read, from any thread.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

class Prompt;
class JobTable;

inline constexpr const char* kCatalogueFileName = "FileList.txt";

struct CatalogueEntry {
  std::string name;      // exactly as the catalogue gives it (may hold / or \ for subfolders)
  std::string checksum;  // 32 hex digits when well formed (either case)
  uint64_t size = 0;
  // Where a download of this row is written until it is complete: beside the
  // file, under a name that no row of the catalogue (nor a folder a row
  // needs, nor another row's partial file) has.
  std::string partial_name;
};

class Catalogue {
 public:
  // `abort` is the run's abort flag: a format error sets it.
  explicit Catalogue(std::atomic<bool>& abort) : abort_(abort) {}
  virtual ~Catalogue() = default;

  // Parses `file`. Rows and total start empty on every call; version and
  // scratch-space need are replaced only by the file's data lines 0 and 1.
  // Returns false when the file cannot be opened or read to its end
  // (silently), or when a file row is malformed or names a file outside the
  // download folder: then the line's message is shown through `prompt` (OK
  // button), the abort flag is set once the prompt has returned, and the rows
  // before the bad line stay (the bad one is never added); callers must not
  // use the rows after a false result. Total is the sum of the sizes,
  // saturating at UINT64_MAX.
  [[nodiscard]] bool Load(Prompt& prompt, const std::filesystem::path& file = kCatalogueFileName);
  // The same parser over text already in memory (used by the fuzzer and tools).
  [[nodiscard]] bool LoadFromText(Prompt& prompt, std::string_view text);

  int RowCount() const { return static_cast<int>(entries_.size()); }
  const CatalogueEntry& Entry(int row) const { return entries_[static_cast<size_t>(row)]; }
  std::string Name(int row) const { return Entry(row).name; }
  std::string Checksum(int row) const { return Entry(row).checksum; }
  uint64_t Size(int row) const { return Entry(row).size; }
  uint64_t Total() const { return total_; }
  uint64_t ScratchSpaceNeed() const { return scratch_space_need_; }
  std::string Version() const { return version_; }
  std::string PartialName(int row) const { return Entry(row).partial_name; }

  // The download folder (ends with the platform's separator); verification
  // joins it with each row's name.
  void SetDownloadFolder(std::string folder) { download_folder_ = std::move(folder); }
  std::string DownloadFolder() const { return download_folder_; }

  void SetAbortFlag() { abort_.store(true); }
  const std::atomic<bool>& AbortFlag() const { return abort_; }

  // Checks the local copy of file row `row` and reports in job-table row
  // `item`: see catalogue/file_check.h.
  [[nodiscard]] bool VerifyRow(int row, JobTable& table, int item) const;

 private:
  bool Fail(Prompt& prompt, const char* format, unsigned line);
  void NamePartialFiles();

  std::atomic<bool>& abort_;
  std::string version_;
  std::string download_folder_;
  uint64_t scratch_space_need_ = 0;
  uint64_t total_ = 0;
  std::vector<CatalogueEntry> entries_;
};

}  // namespace brenvik
