#pragma once
// Starting the installer once every file is verified: the seam to the
// operating system's way of running or opening a file.
//
// Thread safety: any thread; Start blocks until the outcome is known (POSIX,
// for a program: until it has been executed; for a document: until the
// desktop's opener has finished, or kOpenerWait has passed; Windows: until
// the shell has started the program or handed the file on).

#include <chrono>
#include <functional>
#include <string>
#include <utility>

namespace brenvik {

// What a start came to: true when the program was started, else why not
// when that is known (shown in the installer's row).
struct [[nodiscard]] InstallerStart {
  bool started = false;
  std::string failure;  // e.g. "the request for administrator rights was declined"
  explicit operator bool() const { return started; }
};

class InstallerLauncher {
 public:
  virtual ~InstallerLauncher() = default;
  // Starts the program at `path` with `working_dir` as its working directory.
  virtual InstallerStart Start(const std::string& path, const std::string& working_dir) = 0;
};

// The real launcher. On every platform a path that is not an existing
// regular file is not started, and a relative path is resolved in this
// process's working directory, not in `working_dir`.
//
// POSIX: a native program or script (a file with an execute bit, or one
// that begins with "#!" or the ELF magic) is executed directly, detached: it
// is not waited for, it leaves no zombie behind, and it inherits standard
// output and error. A file that begins with "#!" or the ELF magic but has no
// owner execute bit gets one first (a downloaded file never has it, and the
// file has just passed its checksum). True when the exec succeeded.
//
// Any other file is handed to `xdg-open` found on PATH, run detached in the
// same way; true when it exits with status 0, or is still running after
// kOpenerWait (some openers stay until the opened program quits). False when
// there is no xdg-open.
//
// Windows: the shell opens the file as a double click would (a program is
// started, anything else goes to the program registered for it), with
// `working_dir` as the working directory and a normal window, on a thread
// with COM initialised as the shell requires. The program's own window in
// front (else its console window) owns what the shell shows, so a consent
// prompt for administrator rights comes up in front of it. A declined
// prompt, a missing program or a file no program is registered for is
// named in the failure. Start returns once the shell has handed the file
// on; the started program is never waited for.
class SystemInstallerLauncher final : public InstallerLauncher {
 public:
  // How long the desktop's opener is given to finish (POSIX only).
  static constexpr std::chrono::milliseconds kOpenerWait{5000};

  // The shell's start on Windows: opens `file` (absolute) in `folder` with
  // `owner` (a window handle, or null) as the owner window; 0 or the
  // system's error code. Tests give their own; POSIX does not use it.
  using ShellOpen = std::function<unsigned long(const std::wstring& file,
                                                const std::wstring& folder, void* owner)>;

  SystemInstallerLauncher() = default;
  explicit SystemInstallerLauncher(ShellOpen shell_open) : shell_open_(std::move(shell_open)) {}

  InstallerStart Start(const std::string& path, const std::string& working_dir) override;

 private:
  ShellOpen shell_open_;  // empty: the system's
};

}  // namespace brenvik
