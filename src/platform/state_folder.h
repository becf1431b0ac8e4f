#pragma once
// Where the program keeps its working files (the catalogue and the settings
// file) when it is started from the desktop or Start menu, whose working
// directory (the home folder, "/" or the system folder) is no place for them,
// or from a folder it cannot write to.
//
// Thread safety: any thread (it reads the environment).

#include <filesystem>

namespace brenvik {

// The folder, ending with the separator; it may not exist yet.
// POSIX: $XDG_STATE_HOME/brenvik/ when that variable holds an absolute path,
// else <home>/.local/state/brenvik/.
// Windows: %LOCALAPPDATA%\Brenvik\ when that variable holds an absolute
// path, else <home>\AppData\Local\Brenvik\ (where it normally points).
// The home folder is HomeFolder()'s (platform/paths.h).
std::filesystem::path MenuStateFolder();

// True when a new file can be made in `folder` (the working directory when
// it is empty): one is created under a name of its own and removed again.
// False for a read-only place (a system folder, a read-only share or
// medium) and for a folder that is gone.
bool CanCreateFilesIn(const std::filesystem::path& folder);

}  // namespace brenvik
