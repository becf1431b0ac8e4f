#pragma once
// Starting the installer once every file is verified: the seam to the
// operating system's way of running or opening a file.
//
// Thread safety: any thread; Start blocks until the outcome is known (for a
// program: until it has been executed; for a document: until the desktop's
// opener has finished, or kOpenerWait has passed).

#include <chrono>
#include <string>

namespace brenvik {

class InstallerLauncher {
 public:
  virtual ~InstallerLauncher() = default;
  // Starts the program at `path` with `working_dir` as its working directory;
  // true when it was started.
  [[nodiscard]] virtual bool Start(const std::string& path, const std::string& working_dir) = 0;
};

// The real launcher.
//
// A native program or script (a file with an execute bit, or one that begins
// with "#!" or the ELF magic) is executed directly, detached: it is not
// waited for, it leaves no zombie behind, and it inherits standard output and
// error. A file that begins with "#!" or the ELF magic but has no owner
// execute bit gets one first (a downloaded file never has it, and the file
// has just passed its checksum). True when the exec succeeded.
//
// Any other file is handed to `xdg-open` found on PATH, run detached in the
// same way; true when it exits with status 0, or is still running after
// kOpenerWait (some openers stay until the opened program quits). False when
// there is no xdg-open.
//
// A path that is not an existing regular file gives false.
class SystemInstallerLauncher final : public InstallerLauncher {
 public:
  static constexpr std::chrono::milliseconds kOpenerWait{5000};

  [[nodiscard]] bool Start(const std::string& path, const std::string& working_dir) override;
};

}  // namespace brenvik
