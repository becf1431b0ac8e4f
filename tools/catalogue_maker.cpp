// brenvik-catalogue: writes the FileList.txt of a release folder, or checks
// a published release against its FileList.txt.
//
//   brenvik-catalogue DIR --version V [--scratch BYTES] [--output FILE]
//   brenvik-catalogue --check BASE
//
// Exit status: 0 written (or every file correct), 1 refused, failed or a
// file missing or wrong, 2 bad usage.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/decimal.h"
#include "platform/console_io.h"
#include "platform/stdio_file.h"
#include "platform/utf8_path.h"
#include "tools/release_catalogue.h"

namespace {

using namespace brenvik;

constexpr const char* kUsage =
    "usage: brenvik-catalogue DIR --version V [--scratch BYTES] [--output FILE]\n"
    "       brenvik-catalogue --check BASE\n";

struct Options {
  std::optional<std::string> check;  // the release's base folder, with --check
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

// Stores the value of option `name`; 0 when fine, else the usage error's status.
int TakeValue(std::string_view name, const std::string& given, Options& options) {
  if (name == "--version") {
    options.version = given;
  } else if (name == "--check") {
    if (given.empty()) return UsageError("--check needs a folder");
    options.check = given;
  } else if (name == "--output") {
    if (given.empty()) return UsageError("--output needs a file name");
    options.output = given;
  } else {
    // Digits only: a scratch need given by hand should be exactly what is meant.
    options.scratch = ParseWholeNumber(given);
    if (!options.scratch) return UsageError("--scratch takes a number of bytes");
  }
  return 0;
}

// The options that fit together: --check alone, or a folder with a version.
int CheckCombination(const Options& options) {
  if (options.check) {
    const bool more =
        !options.folder.empty() || options.version || options.scratch || options.output;
    return more ? UsageError("--check takes no other option") : 0;
  }
  if (options.folder.empty()) return UsageError("no folder given");
  if (!options.version) return UsageError("--version is required");
  return 0;
}

// Returns 0 when parsed, else the exit status (2 for bad usage, 0 after --help
// with `done` set).
int ParseArguments(const std::vector<std::string>& arguments, Options& options, bool& done) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string_view arg = arguments[i];
    std::string_view name = arg;
    std::optional<std::string> value;
    if (arg.starts_with("--")) {
      if (const size_t equals = arg.find('='); equals != std::string_view::npos) {
        name = arg.substr(0, equals);
        value = std::string(arg.substr(equals + 1));
      }
    }
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      done = true;
      return 0;
    }
    if (name == "--version" || name == "--scratch" || name == "--output" || name == "--check") {
      if (!value && i + 1 < arguments.size()) value = arguments[++i];
      if (!value) return UsageError(std::string(name) + " needs a value");
      if (const int status = TakeValue(name, *value, options); status != 0) return status;
      continue;
    }
    if (arg.size() > 1 && arg.front() == '-')
      return UsageError("unknown option " + std::string(arg));
    if (!options.folder.empty()) return UsageError("only one folder, please");
    options.folder = std::string(arg);
  }
  return CheckCombination(options);
}

// Writes `text` to `output` (UTF-8) through a temporary file renamed into
// place, so a failed run never leaves half a catalogue under the final name.
// The file gets the text's bytes as they are: "\n" line ends everywhere.
std::string WriteFile(const std::string& output, const std::string& text) {
  const std::string temporary = output + ".tmp";
  const std::filesystem::path temporary_path = PathFromUtf8(temporary);
  std::string failure;
  {
    const StdioFile out = OpenStdioFile(temporary_path, "wb");
    if (!out) return temporary + ": " + std::strerror(errno);
    const bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size() &&
                         std::fflush(out.get()) == 0;
    if (!written) failure = temporary + ": " + std::strerror(errno);
  }
  // The temporary file goes only once closed: Windows cannot remove an open file.
  std::error_code error;
  if (failure.empty()) {
    std::filesystem::rename(temporary_path, PathFromUtf8(output), error);
    if (error) failure = output + ": " + error.message();
  }
  if (!failure.empty()) std::filesystem::remove(temporary_path, error);
  return failure;
}

// Checks the release under `base`: one line per missing or wrong file, then
// a summary line, all on standard output.
int CheckPublishedRelease(const std::string& base) {
  const ReleaseCheck check = CheckRelease(PathFromUtf8(base));
  if (!check.error.empty()) return Refuse(check.error);
  for (const auto& problem : check.problems) std::printf("%s\n", problem.c_str());
  const char* files = check.checked == 1 ? "file" : "files";
  if (check.problems.empty()) {
    std::printf("%zu %s of version %s checked: all correct\n", check.checked, files,
                check.version.c_str());
  } else {
    std::printf("%zu %s of version %s checked: %zu missing or wrong\n", check.checked, files,
                check.version.c_str(), check.problems.size());
  }
  return std::fflush(stdout) == 0 && check.ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Names are UTF-8 inside, whatever the system's arguments and console use.
  const std::vector<std::string> arguments = Utf8Arguments(argc, argv);
  const Utf8ConsoleOutput utf8_console;
  Options options;
  bool done = false;
  if (const int status = ParseArguments(arguments, options, done); status != 0 || done) {
    return status;
  }
  if (options.check) return CheckPublishedRelease(*options.check);
  if (const std::string problem = CatalogueVersionProblem(*options.version); !problem.empty()) {
    return Refuse("cannot use that version: " + problem);
  }

  const ReleaseScan scan = ScanRelease(PathFromUtf8(options.folder));
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
  // The catalogue's bytes as written to a file, so a signature made over
  // either is the same.
  UseBinaryMode(stdout);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    return Refuse(std::string("cannot write the catalogue: ") + std::strerror(errno));
  }
  return 0;
}
