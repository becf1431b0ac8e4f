// brenvik-test-http-host: runs test HTTP servers for a test program in
// another process (the Windows tests under Wine). It listens on 127.0.0.1
// on an ephemeral port for the control requests of http_server_control.h,
// prints its control address ("http://127.0.0.1:PORT/") as one line on
// stdout once it answers, and serves until its stdin closes or it receives
// SIGTERM, SIGINT or SIGHUP; then it tears every server down and exits.
// Whoever starts it keeps its stdin open for as long as it is needed, so
// it cannot outlive its starter.

#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "support/http_server_control.h"

namespace {

using brenvik::test::ControlHost;
using brenvik::test::ControlReply;

// Reads stdin until it closes, then asks the main thread to stop.
void WatchStdin() {
  char buffer[256];
  while (true) {
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EINTR)) break;
  }
  kill(getpid(), SIGTERM);
}

void Route(httplib::Server& control, ControlHost& host) {
  const auto answer = [&host](const httplib::Request& request, httplib::Response& response) {
    ControlReply reply = host.Handle(request.method, request.target, request.body);
    response.status = reply.status;
    if (reply.status != 200) std::fprintf(stderr, "test HTTP host: %s\n", reply.text.c_str());
    response.set_content(std::move(reply.text), "text/plain; charset=utf-8");
  };
  control.Get(".*", answer);
  control.Post(".*", answer);
  control.Put(".*", answer);
  control.Delete(".*", answer);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::fprintf(stderr, "usage: %s (no arguments; stops when stdin closes)\n", argv[0]);
    return 2;
  }
  // The stop signals are taken by sigwait below, on this thread only; every
  // thread started from here inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a test program that went away mid-answer

  auto host = std::make_unique<ControlHost>();
  httplib::Server control;
  Route(control, *host);
  const int port = control.bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    std::fprintf(stderr, "test HTTP host: cannot listen on 127.0.0.1: %s\n", std::strerror(errno));
    return 1;
  }
  std::thread listener([&control] { control.listen_after_bind(); });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!control.is_running() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!control.is_running()) {
    std::fprintf(stderr, "test HTTP host: the control server did not start\n");
    control.stop();
    listener.join();
    return 1;
  }
  std::printf("http://127.0.0.1:%d/\n", port);
  std::fflush(stdout);
  std::thread(WatchStdin).detach();

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  control.stop();
  listener.join();
  host.reset();  // every server still running, after the last control request
  return 0;
}
