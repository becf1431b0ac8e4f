// brenvik-catalogue: writes the FileList.txt of a release folder.
//
//   brenvik-catalogue DIR --version V [--scratch BYTES] [--output FILE]
//
// Exit status: 0 written, 1 refused or failed, 2 bad usage.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tools/release_catalogue.h"

namespace {

using namespace brenvik;

constexpr const char* kUsage =
    "usage: brenvik-catalogue DIR --version V [--scratch BYTES] [--output FILE]\n";

struct Options {
  std::string folder;
  std::optional<std::string> version;
  std::optional<uint64_t> scratch;
  std::optional<std::string> output;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "brenvik-catalogue: %s\n%s", message.c_str(), kUsage);
  return 2;
}

int Refuse(const std::string& message) {
  std::fprintf(stderr, "brenvik-catalogue: %s\n", message.c_str());
  return 1;
}

// Digits only: a scratch need given by hand should be exactly what is meant.
std::optional<uint64_t> ParseBytes(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Returns 0 when parsed, else the exit status (2 for bad usage, 0 after --help
// with `done` set).
int ParseArguments(int argc, char** argv, Options& options, bool& done) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string_view name = arg;
    std::optional<std::string> value;
    if (arg.starts_with("--")) {
      if (const size_t equals = arg.find('='); equals != std::string_view::npos) {
        name = arg.substr(0, equals);
        value = std::string(arg.substr(equals + 1));
      }
    }
    const auto take_value = [&]() -> std::optional<std::string> {
      if (value) return value;
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      done = true;
      return 0;
    }
    if (name == "--version" || name == "--scratch" || name == "--output") {
      const std::optional<std::string> given = take_value();
      if (!given) return UsageError(std::string(name) + " needs a value");
      if (name == "--version") {
        options.version = *given;
      } else if (name == "--output") {
        if (given->empty()) return UsageError("--output needs a file name");
        options.output = *given;
      } else {
        options.scratch = ParseBytes(*given);
        if (!options.scratch) return UsageError("--scratch takes a number of bytes");
      }
      continue;
    }
    if (arg.size() > 1 && arg.front() == '-')
      return UsageError("unknown option " + std::string(arg));
    if (!options.folder.empty()) return UsageError("only one folder, please");
    options.folder = std::string(arg);
  }
  if (options.folder.empty()) return UsageError("no folder given");
  if (!options.version) return UsageError("--version is required");
  return 0;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Writes `text` to `output` through a temporary file renamed into place, so
// a failed run never leaves half a catalogue under the final name.
std::string WriteFile(const std::string& output, const std::string& text) {
  const std::string temporary = output + ".tmp";
  {
    const std::unique_ptr<std::FILE, FileCloser> out(std::fopen(temporary.c_str(), "wb"));
    if (!out) return temporary + ": " + std::strerror(errno);
    const bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size() &&
                         std::fflush(out.get()) == 0;
    if (!written) {
      const std::string reason = std::strerror(errno);
      std::remove(temporary.c_str());
      return temporary + ": " + reason;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, output, error);
  if (error) {
    std::remove(temporary.c_str());
    return output + ": " + error.message();
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool done = false;
  if (const int status = ParseArguments(argc, argv, options, done); status != 0 || done) {
    return status;
  }
  if (const std::string problem = CatalogueVersionProblem(*options.version); !problem.empty()) {
    return Refuse("cannot use that version: " + problem);
  }

  const ReleaseScan scan = ScanRelease(options.folder);
  for (const auto& warning : scan.warnings)
    std::fprintf(stderr, "brenvik-catalogue: %s\n", warning.c_str());
  if (!scan.ok()) return Refuse(scan.error);

  // Without a figure, enough scratch space for the whole release.
  const uint64_t scratch = options.scratch.value_or(TotalSize(scan.entries));
  const std::string text = FormatCatalogue(*options.version, scratch, scan.entries);
  // Defensive: what is written must read back as what was scanned.
  if (const std::string problem = CheckCatalogueText(text, *options.version, scratch, scan.entries);
      !problem.empty()) {
    return Refuse("the catalogue does not read back: " + problem);
  }

  if (options.output) {
    if (const std::string problem = WriteFile(*options.output, text); !problem.empty()) {
      return Refuse(problem);
    }
    return 0;
  }
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    return Refuse(std::string("cannot write the catalogue: ") + std::strerror(errno));
  }
  return 0;
}
