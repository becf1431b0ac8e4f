#pragma once
// Loads the window face's module and runs it. The module lies beside the
// program (the build tree) or in the program's library folder (installed);
// nothing is loaded from the working directory or the library path.

#include <optional>
#include <string>

#include "config/session_config.h"

namespace brenvik {

// The face's exit status; nullopt, with `why` set, when the module could
// not be found or loaded (the caller falls back to the terminal).
std::optional<int> RunQtFaceModule(int argc, char** argv, const SessionConfig& config,
                                   std::string& why);

}  // namespace brenvik
