#pragma once
// A small read-only HTTP server for a release folder, on 127.0.0.1: the
// download server that the tests and the demo talk to.
//
// GET and HEAD of "/a/b" answer with the file root/a/b, streamed in 64 KiB
// chunks with its Content-Length, a strong ETag (which changes whenever the
// file is written or replaced) and its Last-Modified date. A single byte
// range is answered with 206 (as the HTTP library offers ranges); with an
// If-Range that names neither the current ETag nor, once the file is a
// second old, its Last-Modified date, the whole file goes out with 200, so a
// client never splices the rest of a new file onto part of an old one; a
// range that starts past the end answers 416. Anything that is not a
// regular file inside the root answers 404: a ".." component, a NUL byte, a
// folder, a missing file, a link leading out of the root. With a rate set,
// all responses together are sent at no more than that many bytes per
// second, so a download can be watched however many files a client fetches
// at once. Connections are kept alive.
//
// Thread safety: Start, Stop and the destructor on the owning thread; Url
// from any thread once Start has returned. Requests are served on the
// server's own threads.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace brenvik {

class ReleaseServer {
 public:
  explicit ReleaseServer(std::filesystem::path root, uint64_t bytes_per_second = 0 /*unlimited*/);
  ~ReleaseServer();  // stops and joins
  ReleaseServer(const ReleaseServer&) = delete;
  ReleaseServer& operator=(const ReleaseServer&) = delete;

  // Binds 127.0.0.1:`port` (0: a free port) and serves on its own thread.
  // False when the root is not a folder, the port cannot be bound, or Start
  // was called before (a server starts once).
  [[nodiscard]] bool Start(int port = 0);
  // Before Start: hands one line per answered request, "GET /a/b 200", to
  // `log`, called on the server's threads.
  void LogRequests(std::function<void(const std::string&)> log) { log_ = std::move(log); }
  // "http://127.0.0.1:PORT/"; empty before a successful Start.
  std::string Url() const;
  int Port() const { return port_; }
  // Ends throttled transfers, closes the listening socket and joins the
  // server thread. Safe to call more than once.
  void Stop();

  // What the request handlers share with the server (defined in the .cpp).
  struct Shared;

 private:
  // Binds 127.0.0.1:`port` (0: any free port) and serves on a thread.
  bool Listen(int port);

  std::filesystem::path root_;
  uint64_t bytes_per_second_;
  std::function<void(const std::string&)> log_;
  std::shared_ptr<Shared> shared_;  // what the request handlers use; outlives them
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace brenvik
