#pragma once
// The two faces of the program. Each runs the whole wizard (setup step, then
// the download run) with the given options and returns the exit status.

#include "app/options.h"

namespace brenvik {

// The terminal face: step 1 and step 2 on standard output, questions on the
// terminal. Runs when there is no display, or with --text or --yes.
int RunTerminalFace(const Options& options);

#ifdef BRENVIK_HAVE_GUI
// The Qt face: the two wizard pages.
int RunQtFace(int argc, char** argv, const Options& options);
#endif

// True when a graphical display is available to this process.
bool HasDisplay();

}  // namespace brenvik
