#pragma once
// Test HTTP servers driven from another process. A Windows test program
// under Wine cannot run the test server itself (its HTTP library is
// Linux-only), so brenvik-test-http-host runs them beside it, and every
// HttpServer method becomes a control request over loopback:
//
//   POST   /servers                       a new server; answers "<id> <port>"
//   DELETE /servers/<id>                  destroys it (the end of an idle
//                                         connection may come after the answer)
//   PUT    /servers/<id>/files/<path>     Serve (the body is the content)
//   DELETE /servers/<id>/files/<path>     Remove
//   PUT    /servers/<id>/after-next/<path> ServeAfterNext (the body is the content)
//   PUT    /servers/<id>/behaviours/<path> Misbehave (the body: BehaviourText)
//   DELETE /servers/<id>/behaviours/<path> Behave
//   GET    /servers/<id>/requests/<path>  Requests
//   GET    /servers/<id>/range/<path>     LastRange
//   GET    /servers/<id>/whole/<path>     WholeRequests
//   GET    /servers/<id>/total            TotalRequests
//   GET    /servers/<id>/connections      Connections
//   GET    /servers/<id>/most-connections MostConnectionsAtOnce
//   GET    /servers/<id>/header/<name>/<path> LastHeader
//   POST   /servers/<id>/strict           DecodePathsStrictly
//   GET    /servers/<id>/most-held        MostHeldAtOnce
//   POST   /servers/<id>/hold             HoldFirstRequests ("count=N\nlimit_ms=N\n")
//   POST   /servers/<id>/stop             Stop
//
// <path> is the served path percent-encoded byte by byte (EncodePath), so
// names with blanks, '%', '?', '#' or non-ASCII letters arrive intact.
// A refused request answers 400 (unreadable) or 404 (no such server or
// route) with a line that says why.
//
// Thread safety: ControlHost may be called from any number of threads.

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/http_server.h"

namespace brenvik::test {

// `path` with every byte but letters, digits, "-._~" and '/' as %XX.
std::string EncodePath(std::string_view path);
// The bytes `encoded` stands for; nullopt when a '%' is not followed by two
// hexadecimal digits.
std::optional<std::string> DecodePath(std::string_view encoded);

// `behaviour` as "key=value" lines, one per field; an unset optional and
// no cut are left out. Throws std::invalid_argument when a text
// field holds a line break, which the format cannot carry.
std::string BehaviourText(const Behaviour& behaviour);
// The behaviour `text` describes; a missing key keeps its default. Throws
// std::invalid_argument naming the line for an unknown key or a value that
// is not a number where one belongs.
Behaviour BehaviourOfText(std::string_view text);

struct ControlReply {
  int status = 200;
  std::string text;
};

// The servers a host runs, and the dispatch of control requests to them.
class ControlHost {
 public:
  ControlHost() = default;
  ~ControlHost();  // destroys every server still running
  ControlHost(const ControlHost&) = delete;
  ControlHost& operator=(const ControlHost&) = delete;

  // Answers one control request; `target` is the request's raw target.
  ControlReply Handle(std::string_view method, std::string_view target, std::string body);

 private:
  ControlReply Create();
  ControlReply Destroy(int id);
  // Runs `request` ("<verb>" or "<verb>/<encoded path>") on `server`;
  // nullopt when there is no such request. Throws std::invalid_argument for
  // a request it cannot read.
  static std::optional<ControlReply> Dispatch(HttpServer& server, std::string_view method,
                                              std::string_view request, std::string body);
  static ControlReply Hold(HttpServer& server, std::string_view settings);
  std::shared_ptr<HttpServer> Find(int id) const;

  mutable std::mutex mutex_;
  std::map<int, std::shared_ptr<HttpServer>> servers_;
  std::vector<std::future<void>> endings_;  // teardowns that outlived their request
  int last_id_ = 0;
};

}  // namespace brenvik::test
