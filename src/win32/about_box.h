#pragma once
// The About box: the application icon, the program's name and version, the
// maker's notice, in a build without a publisher key the line saying that
// catalogues are not signature-checked, and OK (Enter, Escape) to close it.
//
// Threads: the window thread only.

#include <windows.h>

namespace brenvik {

// Shows the About box modally over `owner`.
void OpenAboutBox(HWND owner);

}  // namespace brenvik
