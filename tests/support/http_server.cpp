#include "support/http_server.h"

#include <httplib.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace brenvik::test {

namespace {

constexpr size_t kChunk = 16 * 1024;
constexpr size_t kTrickleChunk = 1024;
constexpr std::chrono::milliseconds kSleepStep{10};

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
    size_t chunk = std::min(
        {length, body.size - offset, behaviour.trickle.count() > 0 ? kTrickleChunk : kChunk});
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

// The offset a request may resume at: its "bytes=N-" range when its If-Range
// names the current ETag, else 0 (the whole file).
size_t ResumeOffset(const httplib::Request& request, const Behaviour& behaviour, size_t size) {
  const std::string range = request.get_header_value("Range");
  if (behaviour.ignore_range || range.rfind("bytes=", 0) != 0 ||
      request.get_header_value("If-Range") != behaviour.etag) {
    return 0;
  }
  const size_t start = std::stoul(range.substr(6));
  return start < size ? start : 0;
}

}  // namespace

HttpServer::HttpServer() : server_(std::make_unique<httplib::Server>()) {
  // Keep connections open across requests, as a real download server does,
  // so a client that reuses its connection is exercised.
  server_->set_keep_alive_max_count(1000);
  server_->set_keep_alive_timeout(5);
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Answer(request, response);
  });

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind the test HTTP server");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server_->is_running()) {
    server_->stop();
    thread_.join();
    throw std::runtime_error("the test HTTP server did not start");
  }
}

bool HttpServer::Nap(std::chrono::milliseconds duration) const {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    if (stopping_.load()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        kSleepStep, end - std::chrono::steady_clock::now()));
  }
  return !stopping_.load();
}

void HttpServer::HoldFirstRequests(int count, std::chrono::milliseconds limit) {
  std::lock_guard lock(mutex_);
  hold_count_ = count;
  hold_limit_ = limit;
}

int HttpServer::MostHeldAtOnce() const {
  std::lock_guard lock(mutex_);
  return most_held_;
}

void HttpServer::Answer(const httplib::Request& request, httplib::Response& response) {
  const std::string path = request.path.empty() ? "" : request.path.substr(1);
  Behaviour behaviour;
  Body body;
  {
    std::unique_lock lock(mutex_);
    if (arrived_ < hold_count_) {
      ++arrived_;
      most_held_ = std::max(most_held_, ++held_);
      held_changed_.notify_all();
      held_changed_.wait_for(lock, hold_limit_,
                             [&] { return arrived_ >= hold_count_ || stopping_.load(); });
      --held_;
    }
    ++requests_[path];
    ranges_[path] = request.get_header_value("Range");
    client_ports_.insert(request.remote_port);
    if (const auto it = behaviours_.find(path);
        it != behaviours_.end() && (!it->second.times || requests_[path] <= *it->second.times)) {
      behaviour = it->second;
    }
    if (const auto it = files_.find(path); it != files_.end()) {
      body.content = std::make_shared<const std::string>(it->second);
      body.size = body.content->size();
    }
  }
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
    const size_t start = ResumeOffset(request, behaviour, body.size);
    if (start > 0) {
      response.status = 206;
      response.set_header("Content-Range", "bytes " + std::to_string(start) + "-" +
                                               std::to_string(body.size - 1) + "/" +
                                               std::to_string(body.size));
      body.content = std::make_shared<const std::string>(body.content->substr(start));
      body.size = body.content->size();
    }
  } else if (behaviour.ignore_range) {
    const_cast<httplib::Request&>(request).ranges.clear();
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
  Stop();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string HttpServer::Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

void HttpServer::Serve(const std::string& path, std::string content) {
  std::lock_guard lock(mutex_);
  files_[path] = std::move(content);
}

void HttpServer::Remove(const std::string& path) {
  std::lock_guard lock(mutex_);
  files_.erase(path);
}

void HttpServer::Misbehave(const std::string& path, Behaviour behaviour) {
  std::lock_guard lock(mutex_);
  behaviours_[path] = std::move(behaviour);
}

void HttpServer::Behave(const std::string& path) {
  std::lock_guard lock(mutex_);
  behaviours_.erase(path);
}

int HttpServer::Requests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const auto it = requests_.find(path);
  return it == requests_.end() ? 0 : it->second;
}

std::string HttpServer::LastRange(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const auto it = ranges_.find(path);
  return it == ranges_.end() ? "" : it->second;
}

int HttpServer::Connections() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(client_ports_.size());
}

int HttpServer::TotalRequests() const {
  std::lock_guard lock(mutex_);
  int total = 0;
  for (const auto& [path, count] : requests_) total += count;
  return total;
}

void HttpServer::Stop() {
  stopping_.store(true);
  std::lock_guard lock(mutex_);
  held_changed_.notify_all();
}

}  // namespace brenvik::test
