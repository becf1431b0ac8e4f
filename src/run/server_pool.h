#pragma once
// The servers a run fetches from: the one the catalogue came from first,
// then the mirrors (given on the command line, then listed in Mirrors.txt),
// each holding the same version folders. Downloads are spread over the
// servers that are awake, fewest under way first. A server that fails by
// itself (no answer, an answer of 5xx or 429) rests, longer with each
// failure in a row, and the others take its rows meanwhile; a row whose
// last fetch failed (or whose file failed its check) goes to another
// server next. With one server nothing of this changes anything: every
// fetch goes to it.
//
// Thread safety: every member may be used from any thread (one mutex).

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "run/run_context.h"

namespace brenvik {

// A resting server's rest grows to at most this many of the session's
// pauses (32 s with the usual 500 ms): a server that comes back is used
// again soon.
inline constexpr int kLongestRestPauses = 64;

struct DownloadResult;

class ServerPool {
 public:
  struct Server {
    std::string file_url_prefix;  // base URL + version + "/", as messages show it
    std::string wire_url_prefix;  // the same with the version encoded for a URL's path
    std::string host;             // as a row names it
  };

  // `base_urls` (each ending with '/'; the first the catalogue's server,
  // duplicates kept once) for a release of `rows` rows under `version`.
  ServerPool(const std::vector<std::string>& base_urls, const std::string& version, int rows,
             RunClock clock, std::chrono::milliseconds pause);

  int Count() const { return static_cast<int>(servers_.size()); }
  bool Several() const { return servers_.size() > 1; }
  const Server& At(int server) const { return servers_[static_cast<size_t>(server)]; }

  // The server for the next fetch of `row`: `preferred` when it is awake,
  // else of the awake ones the one with the fewest downloads under way
  // (then the fewest fetches so far), passing over the one the row's last fetch went to while
  // another is awake; with every server resting, the one whose rest ends first. It counts as under
  // way until Done.
  int Take(int row, int preferred = -1);
  void Done(int server);
  // The server of the row's last fetch; -1 before its first.
  int LastOf(int row) const;
  // The host of the row's last fetch when there are several servers
  // (empty otherwise): what a failed row names.
  std::string HostShownFor(int row) const;

  // The server failed by itself: it rests for the back-off of its failures
  // in a row, at least `asked` (a Retry-After). True when another server
  // is awake to take the row instead.
  bool Rest(int server, std::optional<std::chrono::seconds> asked);
  // The server delivered a file: its failures in a row start afresh.
  void Served(int server);

  // True when `result` is a failure of the server itself rather than of
  // the file: nothing answered, an answer of 5xx or 429, or one that
  // trying again cannot mend (a certificate problem, a refused redirect).
  static bool ServerFault(const DownloadResult& result);

 private:
  struct Health {
    int failures = 0;  // in a row
    std::chrono::milliseconds rested_until{0};
    int under_way = 0;
    uint64_t taken = 0;  // fetches given to it
  };
  bool AwakeLocked(int server, std::chrono::milliseconds now) const;
  // The awake server with the fewest downloads under way, passing over
  // `pass_over` while another is awake; with none awake, the first to wake.
  int LeastBusyLocked(std::chrono::milliseconds now, int pass_over) const;

  std::vector<Server> servers_;
  RunClock clock_;
  std::chrono::milliseconds pause_;
  mutable std::mutex mutex_;
  std::vector<Health> health_;  // guarded by mutex_
  std::vector<int16_t> last_;   // guarded by mutex_: per row
};

// Holds a server of the pool as under way for a fetch.
class ServerLease {
 public:
  ServerLease(ServerPool& pool, int row, int preferred = -1)
      : pool_(pool), server_(pool.Take(row, preferred)) {}
  ~ServerLease() { pool_.Done(server_); }
  ServerLease(const ServerLease&) = delete;
  ServerLease& operator=(const ServerLease&) = delete;
  int Server() const { return server_; }

 private:
  ServerPool& pool_;
  int server_;
};

}  // namespace brenvik
