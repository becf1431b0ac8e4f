#pragma once
// The command line:
//   brenvik [--server URL] [--folder DIR] [--install|--no-install]
//           [--text] [--yes] [--demo] [--help] [--version]
// A bad option or value is a usage error (exit status 2).

#include <optional>
#include <string>
#include <variant>

#include "session/exit_status.h"
#include "session/session_config.h"

namespace brenvik {

struct Options {
  std::optional<std::string> server;  // the base URL, ending with '/'
  std::optional<std::string> folder;  // the download folder, ending with the separator
  std::optional<bool> install;
  bool text = false;
  bool yes = false;
  bool demo = false;
  bool help = false;
  bool version = false;
};

struct UsageError {
  std::string message;  // one line, without the program name
};

std::variant<Options, UsageError> ParseOptions(int argc, const char* const* argv);
std::string UsageText();
std::string VersionText();

// The session configuration the command line asks for: the build's
// defaults with its choices applied.
SessionConfig ConfigFromOptions(const Options& options);

}  // namespace brenvik
