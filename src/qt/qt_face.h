#pragma once
// The Qt face: the two wizard pages.

#include "config/session_config.h"

namespace brenvik {

// Runs the whole wizard in windows and returns the program's exit status.
int RunQtFace(int argc, char** argv, const SessionConfig& config);

}  // namespace brenvik
