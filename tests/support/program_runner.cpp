#include "support/program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

extern char** environ;

namespace brenvik::test {

namespace fs = std::filesystem;

namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> Environment(const fs::path& home, const fs::path& temp,
                                     const std::map<std::string, std::string>& extra_env) {
  std::vector<std::string> env_strings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    const std::string name = variable.substr(0, variable.find('='));
    if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
        name == "HOME" || name == "TMPDIR" || extra_env.count(name) != 0) {
      continue;
    }
    env_strings.push_back(variable);
  }
  env_strings.push_back("HOME=" + home.string());
  env_strings.push_back("TMPDIR=" + temp.string());
  for (const auto& [name, value] : extra_env) env_strings.push_back(name + "=" + value);
  return env_strings;
}

// Sends SIGINT once, `delay` after the output first holds `text`.
class Interrupter {
 public:
  Interrupter(pid_t pid, const RunLimits& limits) : pid_(pid), limits_(limits) {}

  // Looks at the output so far; returns how long the next wait may last.
  std::chrono::milliseconds Check(const std::string& output, std::chrono::milliseconds left) {
    if (sent_ || limits_.interrupt_on.empty()) return left;
    const auto now = std::chrono::steady_clock::now();
    if (due_ == kNotDue && Contains(output, limits_.interrupt_on)) {
      due_ = now + limits_.interrupt_delay;
    }
    if (due_ == kNotDue) return left;
    if (now >= due_) {
      ::kill(pid_, SIGINT);
      sent_ = true;
      return left;
    }
    return std::min(left, std::chrono::ceil<std::chrono::milliseconds>(due_ - now));
  }

 private:
  static constexpr auto kNotDue = std::chrono::steady_clock::time_point::max();
  pid_t pid_;
  const RunLimits& limits_;
  std::chrono::steady_clock::time_point due_ = kNotDue;  // kNotDue until the text showed
  bool sent_ = false;
};

// Reads the child's output until every writer is gone (the program and
// whatever it started) or the limit passes; false when it passed.
bool Collect(int fd, pid_t pid, const RunLimits& limits, std::string& output) {
  const auto deadline = std::chrono::steady_clock::now() + limits.limit;
  Interrupter interrupter(pid, limits);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
    const auto wait = interrupter.Check(output, left);
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return true;
    output.append(buffer, static_cast<size_t>(got));
  }
}

// Waits for a child whose output nobody reads, sending the limits' signal
// when they say; true when it ended by itself in time.
bool WaitUnread(pid_t pid, const RunLimits& limits, int& status) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + limits.limit;
  bool signalled = false;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    if (!signalled && limits.signal != 0 && limits.signal_when && limits.signal_when()) {
      ::kill(pid, limits.signal);
      signalled = true;
      deadline = std::min(deadline, Clock::now() + limits.after_signal);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

ProgramRunner::ProgramRunner(const TempDir& sandbox, fs::path program)
    : home_(sandbox.path() / "home"),
      temp_(sandbox.path() / "tmp"),
      program_(program.empty() ? fs::path(BRENVIK_BINARY) : std::move(program)) {
  fs::create_directories(home_);
  fs::create_directories(temp_);
}

Outcome ProgramRunner::Run(const fs::path& working_dir, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& extra_env,
                           const RunLimits& limits) const {
  // Everything the child needs is made before fork: the test process has
  // server threads, so the child may only call async-signal-safe functions.
  std::vector<std::string> arg_strings{program_.string()};
  arg_strings.insert(arg_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = Environment(home_, temp_, extra_env);
  std::vector<char*> argv = Pointers(arg_strings);
  std::vector<char*> envp = Pointers(env_strings);
  const std::string dir = working_dir.string();

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_input = ::open("/dev/null", O_RDONLY);
    if (null_input < 0 || ::dup2(null_input, 0) < 0 || ::dup2(out[1], 1) < 0 ||
        ::dup2(out[1], 2) < 0 || ::chdir(dir.c_str()) != 0) {
      ::_exit(127);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  Outcome outcome;
  if (pid < 0) {
    ::close(out[0]);
    return outcome;
  }
  int status = 0;
  bool ended = false;
  if (limits.unread_output) {
    // The read end stays open and unread until the program has ended.
    ended = WaitUnread(pid, limits, status);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    ::close(out[0]);
  } else {
    ended = Collect(out[0], pid, limits, outcome.output);
    ::close(out[0]);
    if (!ended) ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  if (ended && WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  return outcome;
}

}  // namespace brenvik::test
