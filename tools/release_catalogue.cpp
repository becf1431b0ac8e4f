#include "tools/release_catalogue.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "platform/contained_files.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "platform/utf8_path.h"
#include "texts/printable_text.h"
#include "transfer/download_service.h"
#include "verify/file_check.h"
#include "verify/file_digest.h"

namespace brenvik {

namespace {

namespace fs = std::filesystem;

bool IsInside(const fs::path& file, const fs::path& root) {
  const auto [root_end, file_it] =
      std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  return root_end == root.end() && file_it != file.end();
}

// The text of `path` with '/' separating its components on every platform.
std::string GenericUtf8Of(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

// Digests the regular file `relative_name` below `folder` into `entry`; the
// size is what was read, so the two agree even if the file changes
// meanwhile. Empty on success, else why the file could not be read.
std::string Digest(const ContainedFolder& folder, std::string_view relative_name,
                   CatalogueEntry& entry) {
  const ContainedFile in = folder.OpenForReading(relative_name);
  if (!in.Ok()) return std::strerror(in.Error().number);
  const FileDigest read = DigestOpenFile(in.get(), 0);
  if (read.read_error) return "read error";
  entry.checksum = Md5Hex(read.digest);
  entry.size = read.bytes;
  return {};
}

// What is wrong with the file of catalogue row `row` at `file`; empty when
// it matches.
std::string RowProblem(const fs::path& file, const CatalogueEntry& row) {
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (!fs::exists(status)) return "missing";
  if (!fs::is_regular_file(status)) return "not a regular file";
  // A link in the release folder is followed, as the file's status was:
  // the file it leads to is opened in its own folder.
  const fs::path real = fs::canonical(file, error);
  if (error) return "cannot be read (" + error.message() + ")";
  CatalogueEntry found;
  const ContainedFolder real_folder = ContainedFolder::Open(real.parent_path(), false);
  if (const std::string reason = Digest(real_folder, Utf8Of(real.filename()), found);
      !reason.empty()) {
    return "cannot be read (" + reason + ")";
  }
  if (found.size != row.size) {
    return Format("wrong size (%llu bytes, the catalogue says %llu)",
                  static_cast<unsigned long long>(found.size),
                  static_cast<unsigned long long>(row.size));
  }
  if (!SameHexDigest(found.checksum, row.checksum)) {
    return "wrong digest (" + found.checksum + ", the catalogue says " + row.checksum + ")";
  }
  return {};
}

}  // namespace

std::string CatalogueNameProblem(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (name.find('\t') != std::string::npos) return "a tab would end the name";
  if (name.find(':') != std::string::npos) return "a colon would end the name";
  if (name.find_first_of("\n\r") != std::string::npos) return "a line break would split the row";
  if (name.front() == '#') return "a line starting with '#' is skipped";
  if (name.find('\\') != std::string::npos) {
    return "a backslash is read as a folder separator";
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (StartsPercentEscape(name, i)) {
      return "'%' and two hexadecimal digits would reach the server as an escape";
    }
  }
  if (!IsSafeRelativeName(name, NameRules::kPortable)) {
    return "the name could reach outside the download folder";
  }
  // Windows users download the same release: a name Windows cannot hold
  // (a device name such as "nul.txt", a trailing dot or blank, "<>|?*")
  // would fail there.
  if (!IsSafeRelativeName(name, NameRules::kWindows)) {
    return "Windows cannot hold this name (a device name, a trailing dot or blank, or one of "
           "< > \" | ? *)";
  }
  return {};
}

std::string CatalogueVersionProblem(const std::string& version) {
  if (version.empty()) return "the version is empty (an empty line is skipped)";
  if (version.front() == '#') return "a version starting with '#' is skipped";
  if (version.find_first_of("\n\r") != std::string::npos) {
    return "a line break would split the version";
  }
  return {};
}

uint64_t TotalSize(const std::vector<CatalogueEntry>& entries) {
  uint64_t total = 0;
  for (const auto& entry : entries) {
    total = entry.size > std::numeric_limits<uint64_t>::max() - total
                ? std::numeric_limits<uint64_t>::max()
                : total + entry.size;
  }
  return total;
}

namespace {

// The files below `root` a catalogue may list, as (relative name, the
// relative name of the file to read: the same, or for a link the file it
// leads to), with a warning in `scan` for each one left out; `error` says
// why the walk ended early. `root` is canonical, and folder links are not
// followed, so the names to read pass through no link.
std::vector<std::pair<std::string, std::string>> ListFiles(const fs::path& root, ReleaseScan& scan,
                                                           std::error_code& error) {
  std::vector<std::pair<std::string, std::string>> files;
  fs::recursive_directory_iterator it(root, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path& path = it->path();
    const std::string name = GenericUtf8Of(path.lexically_relative(root));
    std::string read_name = name;
    const fs::file_status own = it->symlink_status(error);
    if (error) break;
    if (fs::is_directory(own)) continue;
    if (fs::is_symlink(own)) {
      // The release server refuses what leads outside the folder, so the
      // catalogue must not promise it.
      const fs::path target = fs::canonical(path, error);
      if (error || !fs::is_regular_file(target)) {
        scan.warnings.push_back(PrintableLine(name) +
                                ": a link that does not lead to a file, left out");
        error.clear();
        continue;
      }
      if (!IsInside(target, root)) {
        scan.warnings.push_back(PrintableLine(name) +
                                ": a link leading outside the folder, left out");
        continue;
      }
      read_name = GenericUtf8Of(target.lexically_relative(root));
    } else if (!fs::is_regular_file(own)) {
      scan.warnings.push_back(PrintableLine(name) + ": not a regular file, left out");
      continue;
    }
    if (name == kCatalogueFileName) continue;
    files.emplace_back(name, std::move(read_name));
  }
  return files;
}

}  // namespace

ReleaseScan ScanRelease(const fs::path& folder) {
  ReleaseScan scan;
  std::error_code error;
  const fs::path root = fs::canonical(folder, error);
  if (error || !fs::is_directory(root, error)) {
    scan.error = Utf8Of(folder) + ": not a folder";
    return scan;
  }
  std::vector<std::pair<std::string, std::string>> files = ListFiles(root, scan, error);
  if (error) {
    scan.error = Utf8Of(folder) + ": " + error.message();
    return scan;
  }

  std::sort(files.begin(), files.end());
  // Every name is checked before any file is read, so a refusal comes quickly.
  for (const auto& [name, read_name] : files) {
    if (const std::string problem = CatalogueNameProblem(name); !problem.empty()) {
      scan.error = "cannot list \"" + PrintableLine(name) + "\": " + problem;
      return scan;
    }
  }
  const ContainedFolder held = ContainedFolder::Open(root, false);
  scan.entries.reserve(files.size());
  for (const auto& [name, read_name] : files) {
    CatalogueEntry entry;
    entry.name = name;
    if (const std::string problem = Digest(held, read_name, entry); !problem.empty()) {
      scan.error = "cannot read \"" + PrintableLine(name) + "\": " + problem;
      scan.entries.clear();
      return scan;
    }
    scan.entries.push_back(std::move(entry));
  }
  return scan;
}

std::string FormatCatalogue(const std::string& version, uint64_t scratch_space_need,
                            const std::vector<CatalogueEntry>& entries) {
  std::string text;
  text.reserve(128 + entries.size() * 64);
  text += kCatalogueMakerHeader;
  text += '\n';
  text += version;
  text += '\n';
  text += std::to_string(scratch_space_need);
  text += '\n';
  for (const auto& entry : entries) {
    text += entry.name;
    text += '\t';
    text += entry.checksum;
    text += '\t';
    text += std::to_string(entry.size);
    text += '\n';
  }
  return text;
}

std::string CheckCatalogueText(const std::string& text, const std::string& version,
                               uint64_t scratch_space_need,
                               const std::vector<CatalogueEntry>& entries) {
  const CatalogueResult parsed = ParseCatalogue(text);
  if (const auto* error = std::get_if<CatalogueError>(&parsed)) {
    return "the program's parser refuses it: " + CatalogueErrorMessage(*error);
  }
  const Catalogue& catalogue = std::get<Catalogue>(parsed);
  if (catalogue.Version() != version) return "the version reads back differently";
  if (catalogue.ScratchSpaceNeed() != scratch_space_need) {
    return "the scratch-space need reads back differently";
  }
  if (catalogue.RowCount() < 0 || static_cast<size_t>(catalogue.RowCount()) != entries.size()) {
    return std::to_string(catalogue.RowCount()) + " rows read back instead of " +
           std::to_string(entries.size());
  }
  for (size_t row = 0; row < entries.size(); ++row) {
    const CatalogueEntry& read = catalogue.Entry(static_cast<int>(row));
    if (read.name != entries[row].name || read.checksum != entries[row].checksum ||
        read.size != entries[row].size) {
      return "row for \"" + PrintableLine(entries[row].name) + "\" reads back differently";
    }
  }
  if (catalogue.Total() != TotalSize(entries)) return "the total reads back differently";
  return {};
}

ReleaseCheck CheckRelease(const fs::path& base) {
  ReleaseCheck check;
  const fs::path catalogue_file = base / kCatalogueFileName;
  const CatalogueResult loaded = LoadCatalogue(catalogue_file);
  if (const auto* error = std::get_if<CatalogueError>(&loaded)) {
    const std::string message = CatalogueErrorMessage(*error);
    check.error = Utf8Of(catalogue_file) + ": " +
                  (message.empty() ? std::string("cannot be read")
                                   : "the program's parser refuses it: " + message);
    return check;
  }
  const Catalogue& catalogue = std::get<Catalogue>(loaded);
  check.version = PrintableLine(catalogue.Version());
  if (!IsSafeRelativeName(catalogue.Version())) {
    check.error = "the version \"" + check.version + "\" cannot name a folder";
    return check;
  }
  const std::string folder =
      WithTrailingSeparator(Utf8Of(base / PathFromUtf8(catalogue.Version())));
  for (int row = 0; row < catalogue.RowCount(); ++row) {
    const CatalogueEntry& entry = catalogue.Entry(row);
    const std::string problem = RowProblem(PathFromUtf8(LocalPath(folder, entry.name)), entry);
    if (!problem.empty()) check.problems.push_back(PrintableLine(entry.name) + ": " + problem);
    ++check.checked;
  }
  return check;
}

}  // namespace brenvik
