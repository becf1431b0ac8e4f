#pragma once
// Runs the built brenvik program as a user runs it from a script: its own
// working folder, standard input from /dev/null, standard output and error
// captured together (so the output is not a terminal), HOME and TMPDIR in
// the test's own folder and no display unless the test asks for one.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace brenvik::test {

struct Outcome {
  int status = -1;  // exit status; -1 when it did not exit by itself in time
  std::string output;
};

struct RunLimits {
  // The program is killed (status -1) when it has not ended by then.
  std::chrono::seconds limit{120};
  // When the output first contains this text, the program gets SIGINT, as
  // from Ctrl-C (empty: never), `interrupt_delay` later.
  std::string interrupt_on;
  std::chrono::milliseconds interrupt_delay{0};
  // Standard output and error go to a pipe that nobody reads, as with
  // `brenvik ... | sleep 40`; the outcome's output stays empty.
  bool unread_output = false;
  // `signal` is sent once `signal_when` returns true (asked every 20 ms);
  // after that the program must end within `after_signal`, or it is killed
  // (status -1). Only with unread_output.
  int signal = 0;
  std::function<bool()> signal_when;
  std::chrono::seconds after_signal{20};
};

class ProgramRunner {
 public:
  // Runs `program` (the built brenvik unless given).
  explicit ProgramRunner(const TempDir& sandbox, std::filesystem::path program = {});

  const std::filesystem::path& Home() const { return home_; }
  const std::filesystem::path& Temp() const { return temp_; }

  // Runs the program in `working_dir` with `args`; `extra_env` adds or
  // replaces variables (a display variable given here is passed on).
  Outcome Run(const std::filesystem::path& working_dir, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& extra_env = {},
              const RunLimits& limits = {}) const;

 private:
  std::filesystem::path home_;
  std::filesystem::path temp_;
  std::filesystem::path program_;
};

bool Contains(const std::string& haystack, const std::string& needle);

}  // namespace brenvik::test
