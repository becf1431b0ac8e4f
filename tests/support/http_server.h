#pragma once
// A real HTTP server on 127.0.0.1 with an ephemeral port, run on its own
// thread for the life of the object. Serves files from a map and can
// misbehave on purpose per path: a status code, a body cut short, a stall,
// a slow trickle, a redirect.

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace brenvik::test {

struct Behaviour {
  int status = 200;                         // e.g. 404, 500
  size_t cut_after = std::string::npos;     // close after this many body bytes (length still announced)
  std::chrono::milliseconds stall{0};       // wait this long before sending the body
  std::chrono::milliseconds trickle{0};     // pause between 1 KiB chunks
  std::string redirect_to;                  // answer 302 with this Location
};

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();

  // Base address "http://127.0.0.1:PORT/".
  std::string Url() const;
  int Port() const { return port_; }

  // Content of the file at `path` (without the leading '/'; the decoded path).
  void Serve(const std::string& path, std::string content);
  void Remove(const std::string& path);
  void Misbehave(const std::string& path, Behaviour behaviour);
  void Behave(const std::string& path);  // back to normal

  // Number of GET requests seen for `path` (decoded, without the leading '/').
  int Requests(const std::string& path) const;
  int TotalRequests() const;

  // Ends every stall at once (used before tearing down).
  void Stop();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, std::string> files_;
  std::map<std::string, Behaviour> behaviours_;
  std::map<std::string, int> requests_;
};

}  // namespace brenvik::test
