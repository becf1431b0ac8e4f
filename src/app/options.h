#pragma once
// The command line:
//   brenvik [--server URL] [--folder DIR] [--install|--no-install]
//           [--mirror URL]... [--connections N] [--max-rate RATE] [--text] [--yes] [--demo]
//           [--from-menu]
//           [--publisher-key FILE] [--help] [--version]
// A bad option or value is a usage error (exit status 2). The Windows build
// has no --demo (see app/demo.h); its usage text leaves it out.

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config/session_config.h"
#include "platform/state_folder.h"
#include "session/exit_status.h"

namespace brenvik {

struct Options {
  std::optional<std::string> server;  // the base URL, ending with '/'
  // Other servers with the same version folders (--mirror, repeatable),
  // each ending with '/'.
  std::vector<std::string> mirrors;
  std::optional<std::string> folder;  // the download folder, ending with the separator
  std::optional<bool> install;
  std::optional<int> connections;    // downloads at once, 1 to 16
  std::optional<uint64_t> max_rate;  // bytes per second in all; 0: no limit
  bool text = false;
  bool yes = false;
  bool demo = false;
  bool from_menu = false;  // started from the desktop entry
  // Not an option: where FileList.txt and OrvBrenvik.ini are kept instead of
  // the working directory or the --from-menu folder (the demo's own folder,
  // so that it never touches the user's).
  std::optional<std::filesystem::path> files_folder;
  // The text of the --publisher-key file, read and found to be a signify
  // public key; an unreadable or malformed file is a usage error.
  std::optional<std::string> publisher_key;
  bool help = false;
  bool version = false;
};

struct UsageError {
  std::string message;  // one line, without the program name
};

std::variant<Options, UsageError> ParseOptions(int argc, const char* const* argv);
std::string UsageText();
// Whether this build checks catalogue signatures, as --help says it: with
// no publisher key built in, that catalogues are not signature-checked.
std::string SignatureCheckLine();
std::string VersionText();

// The session configuration the command line asks for: the build's
// defaults with its choices applied. FileList.txt and OrvBrenvik.ini are
// kept in the working directory, or with --from-menu in MenuStateFolder()
// (platform/state_folder.h), which is then created when missing (if that
// fails, writing the files fails later with the usual messages); a
// files_folder overrides both. The
// publisher key is the --publisher-key file's text, else the one built in.
SessionConfig ConfigFromOptions(const Options& options);

}  // namespace brenvik
