#pragma once
// The terminal face: the setup step and the download run on standard
// output, questions on the terminal (or answered at once when unattended).
// Runs when there is no display, or with --text or --yes.

#include "config/session_config.h"

namespace brenvik {

// Runs the whole wizard and returns the program's exit status.
int RunTerminalFace(const SessionConfig& config);

}  // namespace brenvik
