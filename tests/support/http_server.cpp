#include "support/http_server.h"

#include <httplib.h>

#include <algorithm>
#include <stdexcept>

namespace brenvik::test {

namespace {

constexpr size_t kChunk = 16 * 1024;
constexpr size_t kTrickleChunk = 1024;
constexpr std::chrono::milliseconds kSleepStep{10};

}  // namespace

HttpServer::HttpServer() : server_(std::make_unique<httplib::Server>()) {
  // Keep connections open across requests, as a real download server does,
  // so a client that reuses its connection is exercised.
  server_->set_keep_alive_max_count(1000);
  server_->set_keep_alive_timeout(5);

  // Sleeps up to `duration` in small steps; false when Stop() cut it short.
  auto nap = [this](std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
      if (stopping_.load()) return false;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          kSleepStep, end - std::chrono::steady_clock::now()));
    }
    return !stopping_.load();
  };

  server_->Get(".*", [this, nap](const httplib::Request& request, httplib::Response& response) {
    const std::string path = request.path.empty() ? "" : request.path.substr(1);
    Behaviour behaviour;
    std::shared_ptr<const std::string> content;
    {
      std::lock_guard lock(mutex_);
      ++requests_[path];
      if (const auto it = behaviours_.find(path); it != behaviours_.end()) behaviour = it->second;
      if (const auto it = files_.find(path); it != files_.end()) {
        content = std::make_shared<const std::string>(it->second);
      }
    }

    if (!behaviour.redirect_to.empty()) {
      response.set_redirect(behaviour.redirect_to, 302);
      return;
    }
    if (behaviour.status >= 300 || !content) {
      const int status = behaviour.status >= 300 ? behaviour.status : 404;
      response.status = status;
      response.set_content(std::to_string(status) + " " + path + "\n", "text/plain");
      return;
    }

    const bool plain = behaviour.cut_after == std::string::npos && behaviour.stall.count() == 0 &&
                       behaviour.trickle.count() == 0;
    if (plain) {
      response.set_content(*content, "application/octet-stream");
      return;
    }
    // The full length is announced whatever happens next, so a client can
    // tell a body cut short from a complete one.
    response.set_content_provider(
        content->size(), "application/octet-stream",
        [content, behaviour, nap](size_t offset, size_t length, httplib::DataSink& sink) {
          if (offset == 0 && behaviour.stall.count() > 0 && !nap(behaviour.stall)) return false;
          if (offset > 0 && behaviour.trickle.count() > 0 && !nap(behaviour.trickle)) return false;
          if (offset >= behaviour.cut_after) return false;  // closes the connection
          size_t chunk = std::min(length, behaviour.trickle.count() > 0 ? kTrickleChunk : kChunk);
          if (behaviour.cut_after != std::string::npos) {
            chunk = std::min(chunk, behaviour.cut_after - offset);
          }
          return sink.write(content->data() + offset, chunk);
        });
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

int HttpServer::TotalRequests() const {
  std::lock_guard lock(mutex_);
  int total = 0;
  for (const auto& [path, count] : requests_) total += count;
  return total;
}

void HttpServer::Stop() { stopping_.store(true); }

}  // namespace brenvik::test
