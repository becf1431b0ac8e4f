// The test HTTP server of a Windows test program: a handle to a server that
// brenvik-test-http-host runs beside it (see http_server_control.h). Each
// method is one control request, made synchronously over loopback with a
// plain socket: one connection per request, closed by the host after its
// answer. Plain Winsock keeps the test servers apart from WinHTTP, which
// the code under test uses.

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/http_server.h"
#include "support/http_server_control.h"

namespace brenvik::test {

namespace {

constexpr const char* kControlVariable = "BRENVIK_TEST_HTTP_CONTROL";
// Control requests answer at once; a host that stops answering is given up on.
constexpr DWORD kTimeoutMs = 120'000;

struct ControlAddress {
  std::string host;
  std::string port;
};

// The host's address from BRENVIK_TEST_HTTP_CONTROL ("http://HOST:PORT/").
ControlAddress ControlAddressOf() {
  const char* value = std::getenv(kControlVariable);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(kControlVariable) +
                             " is not set: no test HTTP host to run the test servers. Run "
                             "this test program through scripts/wine-test.");
  }
  std::string_view url = value;
  const size_t colon = url.rfind(':');
  if (!url.starts_with("http://") || colon < 7) {
    throw std::runtime_error(std::string(kControlVariable) +
                             " is not http://HOST:PORT/: " + std::string(url));
  }
  std::string port(url.substr(colon + 1));
  if (port.ends_with('/')) port.pop_back();
  return {std::string(url.substr(7, colon - 7)), port};
}

void StartWinsock() {
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) throw std::runtime_error("Winsock did not start: " + std::to_string(started));
}

// A connected socket, closed with the object.
class Connection {
 public:
  explicit Connection(const ControlAddress& address);
  ~Connection() { closesocket(socket_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void SendAll(std::string_view bytes);
  std::string ReceiveAll();  // until the host closes

 private:
  SOCKET socket_ = INVALID_SOCKET;
  std::string where_;
};

std::string LastSocketError() { return "Winsock error " + std::to_string(WSAGetLastError()); }

Connection::Connection(const ControlAddress& address)
    : where_("the test HTTP host at " + address.host + ":" + address.port) {
  StartWinsock();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found) != 0) {
    throw std::runtime_error("cannot resolve " + where_ + ": " + LastSocketError());
  }
  socket_ = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  const bool connected = socket_ != INVALID_SOCKET &&
                         connect(socket_, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
  freeaddrinfo(found);
  if (!connected) {
    throw std::runtime_error("cannot reach " + where_ + " (did it stop?): " + LastSocketError());
  }
  const DWORD timeout = kTimeoutMs;
  setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
  setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
}

void Connection::SendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const int piece = static_cast<int>(std::min<size_t>(bytes.size(), 1 << 20));
    const int sent = send(socket_, bytes.data(), piece, 0);
    if (sent <= 0) throw std::runtime_error("cannot send to " + where_ + ": " + LastSocketError());
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
}

std::string Connection::ReceiveAll() {
  std::string received;
  char buffer[64 * 1024];
  while (true) {
    const int got = recv(socket_, buffer, sizeof buffer, 0);
    if (got == 0) return received;
    if (got < 0) {
      throw std::runtime_error("no answer from " + where_ + ": " + LastSocketError());
    }
    received.append(buffer, static_cast<size_t>(got));
  }
}

// The status and body of a complete answer; throws for a broken one.
ControlReply ReplyOf(const std::string& answer, const std::string& request) {
  const size_t head_end = answer.find("\r\n\r\n");
  const std::string head = answer.substr(0, head_end);
  const int status = head.starts_with("HTTP/1.") && head.size() > 12 ? std::atoi(&head[9]) : 0;
  if (head_end == std::string::npos || status < 100) {
    throw std::runtime_error("a broken answer from the test HTTP host to " + request + ": " +
                             head.substr(0, 80));
  }
  ControlReply reply{status, answer.substr(head_end + 4)};
  // The host announces every length: a shorter body means the answer was cut.
  const std::string_view length_header = "\r\nContent-Length: ";
  if (const size_t at = head.find(length_header);
      at != std::string::npos &&
      std::strtoull(&head[at + length_header.size()], nullptr, 10) != reply.text.size()) {
    throw std::runtime_error("a cut answer from the test HTTP host to " + request);
  }
  return reply;
}

// Sends one control request and returns the answer's body; throws unless
// the host answered 200.
std::string Control(const std::string& method, const std::string& target,
                    std::string_view body = {}) {
  const ControlAddress address = ControlAddressOf();
  const std::string request = method + " " + target;
  Connection connection(address);
  connection.SendAll(request + " HTTP/1.1\r\nHost: " + address.host + ":" + address.port +
                     "\r\nConnection: close\r\nContent-Type: application/octet-stream"
                     "\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n");
  connection.SendAll(body);
  const ControlReply reply = ReplyOf(connection.ReceiveAll(), request);
  if (reply.status != 200) {
    throw std::runtime_error("the test HTTP host refused " + request + ": " +
                             std::to_string(reply.status) + " " + reply.text);
  }
  return reply.text;
}

int CountOf(const std::string& text) { return std::stoi(text); }

}  // namespace

struct HttpServer::State {
  std::string base;  // "/servers/<id>"
  std::string At(std::string_view verb, const std::string& path) const {
    return base + "/" + std::string(verb) + "/" + EncodePath(path);
  }
};

HttpServer::HttpServer() : state_(std::make_unique<State>()) {
  const std::string created = Control("POST", "/servers");
  const size_t blank = created.find(' ');
  if (blank == std::string::npos) {
    throw std::runtime_error("the test HTTP host made a server but said: " + created);
  }
  state_->base = "/servers/" + created.substr(0, blank);
  port_ = std::stoi(created.substr(blank + 1));
}

HttpServer::~HttpServer() {
  try {
    Control("DELETE", state_->base);
  } catch (const std::exception& error) {
    ADD_FAILURE() << error.what();
  }
}

std::string HttpServer::Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

void HttpServer::Serve(const std::string& path, std::string content) {
  Control("PUT", state_->At("files", path), content);
}

void HttpServer::ServeAfterNext(const std::string& path, std::string content) {
  Control("PUT", state_->At("after-next", path), content);
}

void HttpServer::Remove(const std::string& path) { Control("DELETE", state_->At("files", path)); }

void HttpServer::Misbehave(const std::string& path, Behaviour behaviour) {
  Control("PUT", state_->At("behaviours", path), BehaviourText(behaviour));
}

void HttpServer::Behave(const std::string& path) {
  Control("DELETE", state_->At("behaviours", path));
}

int HttpServer::Requests(const std::string& path) const {
  return CountOf(Control("GET", state_->At("requests", path)));
}

int HttpServer::TotalRequests() const { return CountOf(Control("GET", state_->base + "/total")); }

int HttpServer::WholeRequests(const std::string& path) const {
  return CountOf(Control("GET", state_->At("whole", path)));
}

std::string HttpServer::LastRange(const std::string& path) const {
  return Control("GET", state_->At("range", path));
}

int HttpServer::Connections() const {
  return CountOf(Control("GET", state_->base + "/connections"));
}

int HttpServer::MostConnectionsAtOnce() const {
  return CountOf(Control("GET", state_->base + "/most-connections"));
}

std::string HttpServer::LastHeader(const std::string& path, const std::string& name) const {
  return Control("GET", state_->At("header", name + "/" + path));
}

void HttpServer::DecodePathsStrictly() { Control("POST", state_->base + "/strict"); }

void HttpServer::HoldFirstRequests(int count, std::chrono::milliseconds limit) {
  Control("POST", state_->base + "/hold",
          "count=" + std::to_string(count) + "\nlimit_ms=" + std::to_string(limit.count()) + "\n");
}

int HttpServer::MostHeldAtOnce() const {
  return CountOf(Control("GET", state_->base + "/most-held"));
}

void HttpServer::Stop() { Control("POST", state_->base + "/stop"); }

}  // namespace brenvik::test
