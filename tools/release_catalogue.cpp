#include "tools/release_catalogue.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/paths.h"
#include "platform/prompt.h"
#include "verify/md5.h"

namespace brenvik {

namespace {

namespace fs = std::filesystem;

constexpr size_t kReadBlock = 1024 * 1024;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A name as it can be shown on one line: control characters escaped.
std::string Printable(const std::string& name) {
  std::string shown;
  for (const char c : name) {
    if (c == '\t') {
      shown += "\\t";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      shown += Format("\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    } else {
      shown += c;
    }
  }
  return shown;
}

bool IsInside(const fs::path& file, const fs::path& root) {
  const auto [root_end, file_it] =
      std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  return root_end == root.end() && file_it != file.end();
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Digests `file` into `entry`; the size is what was read, so the two agree
// even if the file changes meanwhile.
std::string Digest(const fs::path& file, CatalogueEntry& entry, std::vector<unsigned char>& block) {
  const std::unique_ptr<std::FILE, FileCloser> in(std::fopen(file.c_str(), "rb"));
  if (!in) return std::strerror(errno);
  Md5Context context;
  Md5Init(context);
  uint64_t size = 0;
  for (;;) {
    const size_t got = std::fread(block.data(), 1, block.size(), in.get());
    Md5Update(context, block.data(), got);
    size += got;
    if (got < block.size()) break;
  }
  if (std::ferror(in.get()) != 0) return "read error";
  Md5Digest digest;
  Md5Final(digest, context);
  entry.checksum = Md5Hex(digest);
  entry.size = size;
  return {};
}

// Collects what the parser's message box would have shown.
class RecordingPrompt final : public Prompt {
 public:
  PromptAnswer Ask(const std::string& text, PromptButtons, PromptIcon) override {
    text_ = text;
    return PromptAnswer::kOk;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

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
  for (size_t i = 0; i + 2 < name.size(); ++i) {
    if (name[i] == '%' && IsHexDigit(name[i + 1]) && IsHexDigit(name[i + 2])) {
      return "'%' and two hexadecimal digits would reach the server as an escape";
    }
  }
  if (!IsSafeRelativeName(name)) return "the name could reach outside the download folder";
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

ReleaseScan ScanRelease(const fs::path& folder) {
  ReleaseScan scan;
  std::error_code error;
  const fs::path root = fs::canonical(folder, error);
  if (error || !fs::is_directory(root, error)) {
    scan.error = folder.string() + ": not a folder";
    return scan;
  }

  std::vector<std::pair<std::string, fs::path>> files;  // relative name, path
  fs::recursive_directory_iterator it(root, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path& path = it->path();
    const std::string name = path.lexically_relative(root).generic_string();
    const fs::file_status own = it->symlink_status(error);
    if (error) break;
    if (fs::is_directory(own)) continue;
    if (fs::is_symlink(own)) {
      // The release server refuses what leads outside the folder, so the
      // catalogue must not promise it.
      const fs::path target = fs::canonical(path, error);
      if (error || !fs::is_regular_file(target)) {
        scan.warnings.push_back(Printable(name) +
                                ": a link that does not lead to a file, left out");
        error.clear();
        continue;
      }
      if (!IsInside(target, root)) {
        scan.warnings.push_back(Printable(name) + ": a link leading outside the folder, left out");
        continue;
      }
    } else if (!fs::is_regular_file(own)) {
      scan.warnings.push_back(Printable(name) + ": not a regular file, left out");
      continue;
    }
    if (name == kCatalogueFileName) continue;
    files.emplace_back(name, path);
  }
  if (error) {
    scan.error = folder.string() + ": " + error.message();
    return scan;
  }

  std::sort(files.begin(), files.end());
  // Every name is checked before any file is read, so a refusal comes quickly.
  for (const auto& [name, path] : files) {
    if (const std::string problem = CatalogueNameProblem(name); !problem.empty()) {
      scan.error = "cannot list \"" + Printable(name) + "\": " + problem;
      return scan;
    }
  }
  std::vector<unsigned char> block(kReadBlock);
  scan.entries.reserve(files.size());
  for (const auto& [name, path] : files) {
    CatalogueEntry entry;
    entry.name = name;
    if (const std::string problem = Digest(path, entry, block); !problem.empty()) {
      scan.error = "cannot read \"" + Printable(name) + "\": " + problem;
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
  std::atomic<bool> abort{false};
  Catalogue catalogue(abort);
  RecordingPrompt prompt;
  if (!catalogue.LoadFromText(prompt, text)) {
    return "the program's parser refuses it: " + prompt.text();
  }
  if (catalogue.Version() != version) return "the version reads back differently";
  if (catalogue.ScratchSpaceNeed() != scratch_space_need) {
    return "the scratch-space need reads back differently";
  }
  if (catalogue.RowCount() < 0 || static_cast<size_t>(catalogue.RowCount()) != entries.size()) {
    return Format("%d rows read back instead of %zu", catalogue.RowCount(), entries.size());
  }
  for (size_t row = 0; row < entries.size(); ++row) {
    const CatalogueEntry& read = catalogue.Entry(static_cast<int>(row));
    if (read.name != entries[row].name || read.checksum != entries[row].checksum ||
        read.size != entries[row].size) {
      return "row for \"" + Printable(entries[row].name) + "\" reads back differently";
    }
  }
  if (catalogue.Total() != TotalSize(entries)) return "the total reads back differently";
  return {};
}

}  // namespace brenvik
