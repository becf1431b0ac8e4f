#pragma once
// Making a FileList.txt for a release folder: scan the folder into catalogue
// entries (name relative to the folder with '/' separators, MD5, size), check
// that every name and the version read back the same through the program's
// parser, format the catalogue text, and check that text by parsing it.
// Checking a published release folder against its own catalogue.
//
// Thread safety: plain functions over the caller's data; any thread.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"

namespace brenvik {

inline constexpr const char* kCatalogueMakerHeader = "# FileList.txt written by brenvik-catalogue";

struct ReleaseScan {
  std::vector<CatalogueEntry> entries;  // sorted by name (byte order)
  std::vector<std::string> warnings;    // files left out, with the reason
  std::string error;                    // empty when the scan succeeded

  bool ok() const { return error.empty(); }
};

// Walks `folder` recursively and digests every regular file, sorted by its
// relative name; "FileList.txt" directly in `folder` is left out. Links to
// files are followed when they stay inside `folder` and left out (with a
// warning) otherwise; links to folders are not followed. Fails on the first
// name the catalogue cannot carry (see CatalogueNameProblem) or on a file
// that cannot be read.
[[nodiscard]] ReleaseScan ScanRelease(const std::filesystem::path& folder);

// Why `name` cannot stand in a catalogue row, or empty when it can. Refused:
// names the parser refuses (unsafe: absolute, "..", a colon, NUL), names it
// would cut short (a tab, a colon, a line feed, a carriage return), names on
// a skipped line (first character '#'), names the program reads differently
// from the disk (a backslash is a folder separator to it, and "%" followed by
// two hexadecimal digits reaches the server as an escape).
std::string CatalogueNameProblem(const std::string& name);

// Why `version` cannot be data line 0, or empty when it can: it must not be
// empty, start with '#', or hold a line feed or carriage return.
std::string CatalogueVersionProblem(const std::string& version);

// The catalogue text: the header comment, the version, the scratch-space
// need, then "name\tmd5\tsize" per entry; every line ends with "\n".
std::string FormatCatalogue(const std::string& version, uint64_t scratch_space_need,
                            const std::vector<CatalogueEntry>& entries);

// Parses `text` with the program's own parser and compares it with what it
// was made from. Empty when everything matches, else what differs.
[[nodiscard]] std::string CheckCatalogueText(const std::string& text, const std::string& version,
                                             uint64_t scratch_space_need,
                                             const std::vector<CatalogueEntry>& entries);

// The sum of the entries' sizes (saturating, as the catalogue counts it).
uint64_t TotalSize(const std::vector<CatalogueEntry>& entries);

struct ReleaseCheck {
  std::string version;                // data line 0, control characters escaped
  size_t checked = 0;                 // catalogue rows looked at
  std::vector<std::string> problems;  // one line per row whose file is missing or wrong
  std::string error;                  // why the catalogue could not be read; empty when it was

  bool ok() const { return error.empty() && problems.empty(); }
};

// Checks the release under `base` as a client would see it: reads
// base/FileList.txt with the program's own parser, then checks every row's
// file base/<version>/<name> ('/' and '\' in the name separate folders)
// against the row's size, then its MD5 digest (either case). A problem line
// is "<name>: missing", "<name>: not a regular file", "<name>: cannot be
// read (<reason>)", "<name>: wrong size (<n> bytes, the catalogue says <m>)"
// or "<name>: wrong digest (<md5>, the catalogue says <md5>)", the name as
// the catalogue gives it with control characters escaped; rows come in
// catalogue order.
[[nodiscard]] ReleaseCheck CheckRelease(const std::filesystem::path& base);

}  // namespace brenvik
