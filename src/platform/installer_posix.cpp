#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/installer.h"
#include "platform/utf8_path.h"

namespace brenvik {

namespace {

// What the helper processes report back through the pipe; one record per
// event, small enough to be written atomically.
enum class Event : int32_t { kChdirFailed, kExecFailed, kForkFailed, kExited, kStillRunning };
struct Report {
  Event event;
  int32_t value;  // errno for the failures, the exit status for kExited
};

bool StartsWithProgramMagic(const std::string& path) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;
  unsigned char head[4] = {};
  size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::read(file.get(), head + got, sizeof head - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got >= 2 && head[0] == '#' && head[1] == '!') return true;
  constexpr unsigned char kElfMagic[4] = {0x7f, 'E', 'L', 'F'};
  return got == sizeof kElfMagic && std::memcmp(head, kElfMagic, sizeof kElfMagic) == 0;
}

// The first executable regular file called `program` in the PATH folders
// (an empty entry is the current folder), as an absolute path; empty when
// there is none.
std::string FindOnPath(std::string_view program) {
  const char* env = std::getenv("PATH");
  const std::string_view list = env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string_view::npos) end = list.size();
    std::string folder(list.substr(start, end - start));
    if (folder.empty()) folder = ".";
    const std::string candidate = folder + "/" + std::string(program);
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      std::error_code error;
      const auto absolute = std::filesystem::absolute(candidate, error);
      return error ? candidate : Utf8Of(absolute);
    }
    start = end + 1;
  }
  return {};
}

// Only async-signal-safe calls from here on, down to the exec: the process
// that forks may have other threads.
void SendReport(int fd, Event event, int value) {
  const Report report{event, static_cast<int32_t>(value)};
  ssize_t ignored = ::write(fd, &report, sizeof report);
  (void)ignored;
}

// A started program should begin as if started from a fresh shell, not with
// this process's blocked or ignored signals.
void ResetSignals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    sigaction(signal_number, &action, nullptr);  // fails harmlessly for KILL, STOP
  }
}

void SleepBriefly() {
  const timespec step{0, 10 * 1000 * 1000};
  nanosleep(&step, nullptr);
}

int64_t MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// In the middle process: waits for the started process to end, up to
// `wait`, and reports how it ended or that it still runs.
void ReportExitOrStillRunning(int fd, pid_t pid, std::chrono::milliseconds wait) {
  const int64_t give_up = MonotonicMilliseconds() + wait.count();
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      SendReport(fd, Event::kExited, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      return;
    }
    if (done < 0 && errno != EINTR) {
      SendReport(fd, Event::kExited, -1);
      return;
    }
    if (MonotonicMilliseconds() >= give_up) {
      SendReport(fd, Event::kStillRunning, 0);
      return;
    }
    SleepBriefly();
  }
}

struct SpawnOutcome {
  bool started = false;
  int error = 0;  // errno of the failed step when not started
};

// In the middle child: starts a new session, runs the program in a
// grandchild and leaves, first waiting `wait_for_exit` for the program's
// end when that is asked for. Never returns.
[[noreturn]] void RunMiddleChild(std::vector<char*>& argv, const std::string& working_dir,
                                 std::chrono::milliseconds wait_for_exit, int report_fd) {
  ::setsid();
  ResetSignals();
  const pid_t program = ::fork();
  if (program < 0) {
    SendReport(report_fd, Event::kForkFailed, errno);
    ::_exit(1);
  }
  if (program == 0) {
    if (::chdir(working_dir.c_str()) != 0) {
      SendReport(report_fd, Event::kChdirFailed, errno);
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    SendReport(report_fd, Event::kExecFailed, errno);
    ::_exit(127);
  }
  if (wait_for_exit.count() > 0) ReportExitOrStillRunning(report_fd, program, wait_for_exit);
  ::_exit(0);
}

// Reads the reports until every writer is gone: the middle child has
// exited, and the program has either been executed (its copy of the pipe
// closed on exec) or failed.
SpawnOutcome ReadReports(int read_fd, bool waited_for_exit) {
  SpawnOutcome outcome{true, 0};
  bool any_report = false;
  for (;;) {
    Report report{};
    const ssize_t got = ::read(read_fd, &report, sizeof report);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof report)) break;
    any_report = true;
    switch (report.event) {
      case Event::kChdirFailed:
      case Event::kExecFailed:
      case Event::kForkFailed:
        if (outcome.started) outcome = {false, report.value};
        break;
      case Event::kExited:
        if (report.value != 0 && outcome.started) outcome = {false, 0};
        break;
      case Event::kStillRunning:
        break;
    }
  }
  // When waiting was asked for, silence means the middle child died before
  // it could say how the program ended.
  if (waited_for_exit && !any_report) outcome = {false, 0};
  return outcome;
}

// Runs argv[0] in a grandchild with `working_dir` as its working directory.
// The middle child starts a new session and leaves at once (so the program
// is adopted by init and never becomes our zombie), or, with a non-zero
// `wait_for_exit`, first waits that long for the program to end. A pipe
// whose ends close on exec tells the exec's success (no report, just the
// end of the pipe) from its failure (a report).
SpawnOutcome SpawnDetached(const std::vector<std::string>& args, const std::string& working_dir,
                           std::chrono::milliseconds wait_for_exit) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return {false, errno};
  FileDescriptor read_end(ends[0]);
  FileDescriptor write_end(ends[1]);

  const pid_t middle = ::fork();
  if (middle < 0) return {false, errno};
  if (middle == 0) {
    ::close(read_end.get());
    RunMiddleChild(argv, working_dir, wait_for_exit, write_end.get());
  }
  write_end.Close();
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  return ReadReports(read_end.get(), wait_for_exit.count() > 0);
}

// Why a spawn failed, as the row shows it.
std::string SpawnFailure(const SpawnOutcome& outcome) {
  return outcome.error != 0 ? std::strerror(outcome.error) : "it ended at once with a failure";
}

}  // namespace

InstallerStart SystemInstallerLauncher::Start(const std::string& path,
                                              const std::string& working_dir) {
  std::error_code error;
  // The program runs in another folder, so a relative path must not be
  // resolved there.
  const std::string program = Utf8Of(std::filesystem::absolute(PathFromUtf8(path), error));
  if (error || path.empty()) return {false, "no program was named"};
  // Looked at through a descriptor of the file itself, never through a
  // link, so the file whose mode is set is the one that was looked at.
  const FileDescriptor file(::open(program.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat info {};
  if (file.get() < 0) return {false, std::strerror(errno)};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return {false, "it is not a regular file"};
  }

  const bool magic = StartsWithProgramMagic(program);
  // Only a file with no other name is made executable: through a hard link
  // the mode of a file outside the download folder would change too. A
  // failure here shows up as the exec's failure below.
  if (magic && (info.st_mode & S_IXUSR) == 0 && info.st_nlink == 1) {
    (void)::fchmod(file.get(), (info.st_mode & 07777) | S_IXUSR);
  }
  if (magic || (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) {
    const SpawnOutcome outcome =
        SpawnDetached({program}, working_dir, std::chrono::milliseconds(0));
    if (outcome.started) return {true};
    // An execute bit on a file the system cannot run (ENOEXEC): the
    // desktop may know what to do with it.
    if (magic || outcome.error != ENOEXEC) return {false, SpawnFailure(outcome)};
  }

  const std::string opener = FindOnPath("xdg-open");
  if (opener.empty()) return {false, "no program is set to open it (xdg-open is missing)"};
  const SpawnOutcome opened = SpawnDetached({opener, program}, working_dir, kOpenerWait);
  if (opened.started) return {true};
  return {false, opened.error != 0 ? SpawnFailure(opened) : "the desktop could not open it"};
}

}  // namespace brenvik
