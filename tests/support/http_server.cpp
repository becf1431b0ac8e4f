#include "support/http_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

namespace brenvik::test {

namespace {

constexpr size_t kChunk = 16 * 1024;
constexpr std::chrono::milliseconds kSleepStep{10};

// Runs each connection on a pool thread, as the library's own queue does,
// and counts the connections open at once.
class CountingQueue final : public httplib::TaskQueue {
 public:
  CountingQueue(std::atomic<int>& open, std::atomic<int>& most)
      : pool_(CPPHTTPLIB_THREAD_POOL_COUNT), open_(open), most_(most) {}
  void enqueue(std::function<void()> connection) override {
    const int now = ++open_;
    for (int most = most_.load(); now > most && !most_.compare_exchange_weak(most, now);) {
    }
    pool_.enqueue([this, connection = std::move(connection)] {
      connection();
      --open_;
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::atomic<int>& open_;
  std::atomic<int>& most_;
};

bool PathByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~!$&'()*,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
}

// The path of a raw request target as a strict object store reads it;
// nullopt for a byte a path may not carry unescaped.
std::optional<std::string> StrictPath(std::string_view target) {
  target = target.substr(0, target.find('?'));
  std::string path;
  for (size_t i = 0; i < target.size(); ++i) {
    const char c = target[i];
    if (c == '+') {
      path += ' ';
    } else if (c == '%' && i + 2 < target.size() &&
               std::isxdigit(static_cast<unsigned char>(target[i + 1])) != 0 &&
               std::isxdigit(static_cast<unsigned char>(target[i + 2])) != 0) {
      path += static_cast<char>(std::stoi(std::string(target.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else if (PathByte(static_cast<unsigned char>(c))) {
      path += c;
    } else {
      return std::nullopt;
    }
  }
  return path;
}

// Sleeps up to a duration; false when the server is stopping.
using Nap = std::function<bool(std::chrono::milliseconds)>;

// What a response's body is made of: the served file, or generated filler.
struct Body {
  std::shared_ptr<const std::string> content;  // null for filler
  size_t size = 0;

  const char* At(size_t offset) const {
    static const std::string filler(kChunk, 'f');
    return content ? content->data() + offset : filler.data();
  }
};

// Sends `body` piece by piece, honouring the stall, the trickle and the cut.
void ProvideBody(httplib::Response& response, const Body& body, const Behaviour& behaviour,
                 const Nap& nap) {
  auto piece = [body, behaviour, nap](size_t offset, size_t length, httplib::DataSink& sink) {
    if (offset == 0 && behaviour.stall.count() > 0 && !nap(behaviour.stall)) return false;
    if (offset > 0 && behaviour.trickle.count() > 0 && !nap(behaviour.trickle)) return false;
    if (offset >= behaviour.cut_after) return false;  // closes the connection
    size_t chunk = std::min({length, body.size - offset,
                             behaviour.trickle.count() > 0 ? behaviour.trickle_bytes : kChunk});
    if (behaviour.cut_after != std::string::npos) {
      chunk = std::min(chunk, behaviour.cut_after - offset);
    }
    return sink.write(body.At(offset), chunk);
  };
  if (behaviour.chunked) {
    response.set_chunked_content_provider(
        "application/octet-stream",
        [piece, size = body.size](size_t offset, httplib::DataSink& sink) {
          if (offset < size) return piece(offset, size - offset, sink);
          sink.done();
          return true;
        });
    return;
  }
  // The full length is announced whatever happens next, so a client can
  // tell a body cut short from a complete one.
  response.set_content_provider(body.size, "application/octet-stream", piece);
}

// The part a request asks for: its "bytes=S-" or "bytes=S-E" range when its
// If-Range names the current ETag, else nothing (the whole file). The end
// is exclusive here.
std::optional<std::pair<size_t, size_t>> AskedPart(const httplib::Request& request,
                                                   const Behaviour& behaviour, size_t size) {
  const std::string range = request.get_header_value("Range");
  if (behaviour.ignore_range || range.rfind("bytes=", 0) != 0 ||
      (!behaviour.ignore_if_range && request.get_header_value("If-Range") != behaviour.etag)) {
    return std::nullopt;
  }
  const size_t dash = range.find('-');
  const size_t start = std::stoul(range.substr(6));
  size_t end = size;
  if (dash != std::string::npos && dash + 1 < range.size()) {
    end = std::min(size, std::stoul(range.substr(dash + 1)) + 1);
  }
  if (start >= end) return std::nullopt;
  return std::pair(start, end);
}

}  // namespace

// The server, its thread and what it has been told and has seen.
struct HttpServer::State {
  // Sleeps up to `duration`; false when Stop() cut it short.
  bool Nap(std::chrono::milliseconds duration) const;
  // Waits out the hold, counts the request for `path` and returns how to
  // answer it and with what.
  std::pair<Behaviour, Body> Take(const httplib::Request& request, const std::string& path);
  void Answer(const httplib::Request& request, httplib::Response& response);

  httplib::Server server;
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<bool> closing{false};  // being destroyed
  mutable std::mutex mutex;
  std::map<std::string, std::string> files;
  std::map<std::string, std::string> after_next;  // ServeAfterNext's contents
  std::map<std::string, Behaviour> behaviours;
  std::map<std::string, int> requests;
  std::map<std::string, std::string> ranges;
  std::map<std::string, int> whole_requests;  // GETs without a Range
  std::set<int> client_ports;
  std::map<std::string, httplib::Headers> headers;
  std::atomic<bool> strict_paths{false};
  std::atomic<int> open_connections{0};
  std::atomic<int> most_connections{0};
  std::condition_variable held_changed;
  int hold_count = 0;  // the rest: guarded by mutex
  std::chrono::milliseconds hold_limit{0};
  int arrived = 0;    // requests that have reached the hold
  int held = 0;       // requests held now
  int most_held = 0;  // the most held together
};

HttpServer::HttpServer() : state_(std::make_unique<State>()) {
  httplib::Server& server = state_->server;
  // Keep connections open across requests, as a real download server does,
  // so a client that reuses its connection is exercised.
  server.set_keep_alive_max_count(1000);
  server.set_keep_alive_timeout(5);
  server.new_task_queue = [state = state_.get()] {
    return new CountingQueue(state->open_connections, state->most_connections);
  };
  server.Get(".*",
             [state = state_.get()](const httplib::Request& request, httplib::Response& response) {
               state->Answer(request, response);
             });

  port_ = server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind the test HTTP server");
  state_->thread = std::thread([&server] { server.listen_after_bind(); });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server.is_running() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server.is_running()) {
    server.stop();
    state_->thread.join();
    throw std::runtime_error("the test HTTP server did not start");
  }
}

bool HttpServer::State::Nap(std::chrono::milliseconds duration) const {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    if (stopping.load()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        kSleepStep, end - std::chrono::steady_clock::now()));
  }
  return !stopping.load();
}

void HttpServer::HoldFirstRequests(int count, std::chrono::milliseconds limit) {
  std::lock_guard lock(state_->mutex);
  state_->hold_count = count;
  state_->hold_limit = limit;
}

int HttpServer::MostHeldAtOnce() const {
  std::lock_guard lock(state_->mutex);
  return state_->most_held;
}

std::pair<Behaviour, Body> HttpServer::State::Take(const httplib::Request& request,
                                                   const std::string& path) {
  Behaviour behaviour;
  Body body;
  std::unique_lock lock(mutex);
  if (arrived < hold_count) {
    ++arrived;
    most_held = std::max(most_held, ++held);
    held_changed.notify_all();
    held_changed.wait_for(lock, hold_limit,
                          [&] { return arrived >= hold_count || stopping.load(); });
    --held;
  }
  ++requests[path];
  ranges[path] = request.get_header_value("Range");
  if (ranges[path].empty()) ++whole_requests[path];
  headers[path] = request.headers;
  client_ports.insert(request.remote_port);
  if (const auto it = behaviours.find(path);
      it != behaviours.end() && (!it->second.times || requests[path] <= *it->second.times)) {
    behaviour = it->second;
  }
  if (const auto it = files.find(path); it != files.end()) {
    body.content = std::make_shared<const std::string>(it->second);
    body.size = body.content->size();
  }
  if (const auto it = after_next.find(path); it != after_next.end()) {
    files[path] = std::move(it->second);
    after_next.erase(it);
  }
  return {behaviour, body};
}

void HttpServer::State::Answer(const httplib::Request& request, httplib::Response& response) {
  if (closing.load()) {
    // A client that kept its connection open past the server's end.
    response.status = 503;
    response.set_header("Connection", "close");
    response.set_content("the test server is closing\n", "text/plain");
    return;
  }
  std::string path = request.path.empty() ? "" : request.path.substr(1);
  if (strict_paths.load()) {
    const std::optional<std::string> strict = StrictPath(request.target);
    if (!strict) {
      response.status = 400;
      response.set_content("a byte no path may carry unescaped\n", "text/plain");
      return;
    }
    path = strict->empty() ? "" : strict->substr(1);
  }
  // A request for a whole URL is one sent to a proxy: the server then acts
  // as that proxy and answers from its own files.
  if (path.starts_with("ttp://")) {
    const size_t slash = path.find('/', 6);
    path = slash == std::string::npos ? "" : path.substr(slash + 1);
  }
  auto [behaviour, body] = Take(request, path);
  if (behaviour.filler) body = Body{.size = *behaviour.filler};

  if (behaviour.silence.count() > 0 && !Nap(behaviour.silence)) {
    response.status = 503;  // stopping: any answer ends the exchange
    return;
  }
  if (!behaviour.redirect_to.empty()) {
    response.set_redirect(behaviour.redirect_to, 302);
    return;
  }
  if (behaviour.status >= 300 || (!body.content && !behaviour.filler)) {
    const int status = behaviour.status >= 300 ? behaviour.status : 404;
    response.status = status;
    if (!behaviour.retry_after.empty()) response.set_header("Retry-After", behaviour.retry_after);
    response.set_content(std::to_string(status) + " " + path + "\n", "text/plain");
    return;
  }
  if (!behaviour.etag.empty() && body.content) {
    // Ranges are answered here, so the library must not slice the body again.
    const_cast<httplib::Request&>(request).ranges.clear();
    response.set_header("ETag", behaviour.etag);
    // Said even when it then answers ranges with the whole file, as a
    // misconfigured server or cache does.
    response.set_header("Accept-Ranges", "bytes");
    if (const auto part = AskedPart(request, behaviour, body.size);
        part && (part->first > 0 || part->second < body.size)) {
      const auto [start, end] = *part;
      response.status = 206;
      response.set_header("Content-Range", "bytes " + std::to_string(start) + "-" +
                                               std::to_string(end - 1) + "/" +
                                               std::to_string(body.size));
      body.content = std::make_shared<const std::string>(body.content->substr(start, end - start));
      body.size = body.content->size();
    }
  } else if (behaviour.ignore_range) {
    const_cast<httplib::Request&>(request).ranges.clear();
  }
  if (!behaviour.content_encoding.empty()) {
    response.set_header("Content-Encoding", behaviour.content_encoding);
  }
  const bool plain = behaviour.cut_after == std::string::npos && behaviour.stall.count() == 0 &&
                     behaviour.trickle.count() == 0 && !behaviour.chunked && body.content;
  if (plain) {
    response.set_content(*body.content, "application/octet-stream");
    return;
  }
  ProvideBody(response, body, behaviour, [this](std::chrono::milliseconds d) { return Nap(d); });
}

HttpServer::~HttpServer() {
  state_->closing.store(true);
  Stop();
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

std::string HttpServer::Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

void HttpServer::Serve(const std::string& path, std::string content) {
  std::lock_guard lock(state_->mutex);
  state_->files[path] = std::move(content);
}

void HttpServer::ServeAfterNext(const std::string& path, std::string content) {
  std::lock_guard lock(state_->mutex);
  state_->after_next[path] = std::move(content);
}

void HttpServer::Remove(const std::string& path) {
  std::lock_guard lock(state_->mutex);
  state_->files.erase(path);
}

void HttpServer::Misbehave(const std::string& path, Behaviour behaviour) {
  std::lock_guard lock(state_->mutex);
  state_->behaviours[path] = std::move(behaviour);
}

void HttpServer::Behave(const std::string& path) {
  std::lock_guard lock(state_->mutex);
  state_->behaviours.erase(path);
}

int HttpServer::Requests(const std::string& path) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->requests.find(path);
  return it == state_->requests.end() ? 0 : it->second;
}

int HttpServer::WholeRequests(const std::string& path) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->whole_requests.find(path);
  return it == state_->whole_requests.end() ? 0 : it->second;
}

std::string HttpServer::LastRange(const std::string& path) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->ranges.find(path);
  return it == state_->ranges.end() ? "" : it->second;
}

int HttpServer::Connections() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->client_ports.size());
}

int HttpServer::MostConnectionsAtOnce() const { return state_->most_connections.load(); }

std::string HttpServer::LastHeader(const std::string& path, const std::string& name) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->headers.find(path);
  if (it == state_->headers.end()) return "";
  const auto header = it->second.find(name);
  return header == it->second.end() ? "" : header->second;
}

void HttpServer::DecodePathsStrictly() { state_->strict_paths.store(true); }

int HttpServer::TotalRequests() const {
  std::lock_guard lock(state_->mutex);
  int total = 0;
  for (const auto& [path, count] : state_->requests) total += count;
  return total;
}

void HttpServer::Stop() {
  state_->stopping.store(true);
  std::lock_guard lock(state_->mutex);
  state_->held_changed.notify_all();
}

}  // namespace brenvik::test
