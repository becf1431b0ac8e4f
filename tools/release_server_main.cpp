// brenvik-release-server: serves a release folder read-only on 127.0.0.1.
//
//   brenvik-release-server DIR [--port N] [--rate BYTES_PER_SECOND] [--log]
//
// Prints "Serving DIR at http://127.0.0.1:PORT/" once it listens (with
// --log, then one line per answered request: "GET /1.0/a.bin 200"), then runs
// until SIGINT or SIGTERM. Exit status: 0 after a signal, 1 when it cannot
// serve, 2 for bad usage.

#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "catalogue/decimal.h"
#include "tools/release_server.h"

namespace {

constexpr const char* kUsage =
    "usage: brenvik-release-server DIR [--port N] [--rate BYTES_PER_SECOND] [--log]\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "brenvik-release-server: %s\n%s", message.c_str(), kUsage);
  return 2;
}

struct Arguments {
  std::string folder;
  uint64_t port = 0;
  uint64_t rate = 0;
  bool log = false;
};

// The arguments, or the exit status to end with at once (help, bad usage).
std::variant<Arguments, int> ParseArguments(int argc, char** argv) {
  Arguments parsed;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--log") {
      parsed.log = true;
      continue;
    }
    if (arg == "--port" || arg == "--rate") {
      if (i + 1 >= argc) return UsageError(std::string(arg) + " needs a value");
      const bool is_port = arg == "--port";
      const std::optional<uint64_t> value =
          brenvik::ParseWholeNumber(argv[++i], is_port ? 65535 : UINT64_MAX);
      if (!value) {
        return UsageError(is_port ? "--port takes a number from 0 to 65535"
                                  : "--rate takes a number of bytes per second");
      }
      (is_port ? parsed.port : parsed.rate) = *value;
      continue;
    }
    if (arg.size() > 1 && arg.front() == '-')
      return UsageError("unknown option " + std::string(arg));
    if (!parsed.folder.empty()) return UsageError("only one folder, please");
    parsed.folder = std::string(arg);
  }
  if (parsed.folder.empty()) return UsageError("no folder given");
  return parsed;
}

}  // namespace

int main(int argc, char** argv) {
  const auto arguments = ParseArguments(argc, argv);
  if (const int* status = std::get_if<int>(&arguments)) return *status;
  const auto& [folder, port, rate, log] = std::get<Arguments>(arguments);

  // Blocked before any thread starts, so every thread inherits the mask and
  // the signals wait for sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  brenvik::ReleaseServer server(folder, rate);
  if (log) {
    server.LogRequests([](const std::string& line) {
      // One write per line, so lines from several threads never mix.
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    });
  }
  if (!server.Start(static_cast<int>(port))) {
    std::fprintf(stderr, "brenvik-release-server: cannot serve %s on 127.0.0.1:%d\n",
                 folder.c_str(), static_cast<int>(port));
    return 1;
  }
  std::printf("Serving %s at %s\n", folder.c_str(), server.Url().c_str());
  std::fflush(stdout);

  int received = 0;
  while (sigwait(&stop_signals, &received) != 0) {
  }
  server.Stop();
  return 0;
}
