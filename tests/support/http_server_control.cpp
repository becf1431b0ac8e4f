#include "support/http_server_control.h"

#include <charconv>
#include <functional>
#include <future>
#include <stdexcept>
#include <utility>

namespace brenvik::test {

namespace {

constexpr std::string_view kServers = "/servers";
constexpr std::chrono::milliseconds kTeardownWait{100};

bool KeptAsIs(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '/';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <typename Number>
Number NumberOf(std::string_view key, std::string_view value) {
  Number number{};
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, number);
  if (value.empty() || error != std::errc() || stop != end) {
    throw std::invalid_argument("not a number: " + std::string(key) + "=" + std::string(value));
  }
  return number;
}

bool FlagOf(std::string_view key, std::string_view value) {
  if (value != "0" && value != "1") {
    throw std::invalid_argument("not 0 or 1: " + std::string(key) + "=" + std::string(value));
  }
  return value == "1";
}

// Calls `take` with each "key=value" line of `text`; blank lines are skipped.
void ForEachSetting(std::string_view text,
                    const std::function<void(std::string_view, std::string_view)>& take) {
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty()) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      throw std::invalid_argument("not a key=value line: " + std::string(line));
    }
    take(line.substr(0, equals), line.substr(equals + 1));
  }
}

void TakeSetting(Behaviour& b, std::string_view key, std::string_view value) {
  using std::chrono::milliseconds;
  if (key == "status") {
    b.status = NumberOf<int>(key, value);
  } else if (key == "cut_after") {
    b.cut_after = NumberOf<size_t>(key, value);
  } else if (key == "stall_ms") {
    b.stall = milliseconds(NumberOf<milliseconds::rep>(key, value));
  } else if (key == "trickle_ms") {
    b.trickle = milliseconds(NumberOf<milliseconds::rep>(key, value));
  } else if (key == "redirect_to") {
    b.redirect_to = value;
  } else if (key == "silence_ms") {
    b.silence = milliseconds(NumberOf<milliseconds::rep>(key, value));
  } else if (key == "chunked") {
    b.chunked = FlagOf(key, value);
  } else if (key == "filler") {
    b.filler = NumberOf<size_t>(key, value);
  } else if (key == "retry_after") {
    b.retry_after = value;
  } else if (key == "times") {
    b.times = NumberOf<int>(key, value);
  } else if (key == "etag") {
    b.etag = value;
  } else if (key == "ignore_range") {
    b.ignore_range = FlagOf(key, value);
  } else if (key == "ignore_if_range") {
    b.ignore_if_range = FlagOf(key, value);
  } else if (key == "content_encoding") {
    b.content_encoding = value;
  } else if (key == "trickle_bytes") {
    b.trickle_bytes = NumberOf<size_t>(key, value);
  } else {
    throw std::invalid_argument("unknown behaviour: " + std::string(key) + "=" +
                                std::string(value));
  }
}

ControlReply Ok(std::string text = "") { return {200, std::move(text)}; }
ControlReply Count(int count) { return Ok(std::to_string(count)); }

}  // namespace

std::string EncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (KeptAsIs(byte)) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
  }
  return encoded;
}

std::optional<std::string> DecodePath(std::string_view encoded) {
  std::string path;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      path += encoded[i];
      continue;
    }
    if (i + 2 >= encoded.size()) return std::nullopt;
    const int high = HexValue(encoded[i + 1]);
    const int low = HexValue(encoded[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    path += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return path;
}

std::string BehaviourText(const Behaviour& behaviour) {
  std::string text;
  const auto line = [&text](std::string_view key, const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos) {
      throw std::invalid_argument(
          "a test server behaviour cannot carry a line break: " + std::string(key) + "=" + value);
    }
    text.append(key).append("=").append(value).append("\n");
  };
  line("status", std::to_string(behaviour.status));
  if (behaviour.cut_after != std::string::npos) {
    line("cut_after", std::to_string(behaviour.cut_after));
  }
  line("stall_ms", std::to_string(behaviour.stall.count()));
  line("trickle_ms", std::to_string(behaviour.trickle.count()));
  line("redirect_to", behaviour.redirect_to);
  line("silence_ms", std::to_string(behaviour.silence.count()));
  line("chunked", behaviour.chunked ? "1" : "0");
  if (behaviour.filler) line("filler", std::to_string(*behaviour.filler));
  line("retry_after", behaviour.retry_after);
  if (behaviour.times) line("times", std::to_string(*behaviour.times));
  line("etag", behaviour.etag);
  line("ignore_range", behaviour.ignore_range ? "1" : "0");
  line("ignore_if_range", behaviour.ignore_if_range ? "1" : "0");
  line("content_encoding", behaviour.content_encoding);
  line("trickle_bytes", std::to_string(behaviour.trickle_bytes));
  return text;
}

Behaviour BehaviourOfText(std::string_view text) {
  Behaviour behaviour;
  ForEachSetting(text, [&behaviour](std::string_view key, std::string_view value) {
    TakeSetting(behaviour, key, value);
  });
  return behaviour;
}

ControlReply ControlHost::Handle(std::string_view method, std::string_view target,
                                 std::string body) {
  const auto no_route = [&] {
    return ControlReply{
        404, "no such control request: " + std::string(method) + " " + std::string(target)};
  };
  if (target == kServers) return method == "POST" ? Create() : no_route();
  std::string_view rest = target;
  if (!rest.starts_with(kServers) || !rest.substr(kServers.size()).starts_with('/') ||
      rest.find_first_of("?#") != std::string_view::npos) {
    return no_route();
  }
  rest.remove_prefix(kServers.size() + 1);
  const size_t id_end = std::min(rest.find('/'), rest.size());
  int id = 0;
  const auto [stop, error] = std::from_chars(rest.data(), rest.data() + id_end, id);
  if (id_end == 0 || error != std::errc() || stop != rest.data() + id_end) {
    return {400, "not a test server id: " + std::string(target)};
  }
  rest.remove_prefix(id_end);
  if (rest.empty()) return method == "DELETE" ? Destroy(id) : no_route();
  const std::shared_ptr<HttpServer> server = Find(id);
  if (!server) return {404, "no test server " + std::to_string(id)};
  try {
    return Dispatch(*server, method, rest.substr(1), std::move(body)).value_or(no_route());
  } catch (const std::invalid_argument& error) {
    return {400, error.what()};
  }
}

std::optional<ControlReply> ControlHost::Dispatch(HttpServer& server, std::string_view method,
                                                  std::string_view request, std::string body) {
  const size_t slash = request.find('/');
  const std::string_view verb = request.substr(0, slash);
  if (slash != std::string_view::npos) {
    const std::optional<std::string> path = DecodePath(request.substr(slash + 1));
    if (!path) throw std::invalid_argument("a broken percent escape: " + std::string(request));
    if (verb == "files" && method == "PUT") return server.Serve(*path, std::move(body)), Ok();
    if (verb == "files" && method == "DELETE") return server.Remove(*path), Ok();
    if (verb == "after-next" && method == "PUT") {
      return server.ServeAfterNext(*path, std::move(body)), Ok();
    }
    if (verb == "behaviours" && method == "PUT") {
      return server.Misbehave(*path, BehaviourOfText(body)), Ok();
    }
    if (verb == "behaviours" && method == "DELETE") return server.Behave(*path), Ok();
    if (verb == "requests" && method == "GET") return Count(server.Requests(*path));
    if (verb == "range" && method == "GET") return Ok(server.LastRange(*path));
    if (verb == "whole" && method == "GET") return Count(server.WholeRequests(*path));
    if (verb == "header" && method == "GET") {
      // "<header name>/<path>"
      const size_t name_end = std::min(path->find('/'), path->size());
      return Ok(server.LastHeader(path->substr(std::min(name_end + 1, path->size())),
                                  path->substr(0, name_end)));
    }
  } else if (method == "GET") {
    if (verb == "total") return Count(server.TotalRequests());
    if (verb == "connections") return Count(server.Connections());
    if (verb == "most-held") return Count(server.MostHeldAtOnce());
    if (verb == "most-connections") return Count(server.MostConnectionsAtOnce());
  } else if (method == "POST") {
    if (verb == "stop") return server.Stop(), Ok();
    if (verb == "strict") return server.DecodePathsStrictly(), Ok();
    if (verb == "hold") return Hold(server, body);
  }
  return std::nullopt;
}

ControlReply ControlHost::Hold(HttpServer& server, std::string_view settings) {
  std::optional<int> count;
  std::optional<std::chrono::milliseconds> limit;
  ForEachSetting(settings, [&](std::string_view key, std::string_view value) {
    if (key == "count") {
      count = NumberOf<int>(key, value);
    } else if (key == "limit_ms") {
      limit = std::chrono::milliseconds(NumberOf<std::chrono::milliseconds::rep>(key, value));
    } else {
      throw std::invalid_argument("unknown hold setting: " + std::string(key));
    }
  });
  if (!count || !limit) throw std::invalid_argument("a hold needs count and limit_ms");
  server.HoldFirstRequests(*count, *limit);
  return Ok();
}

ControlHost::~ControlHost() {
  std::map<int, std::shared_ptr<HttpServer>> servers;
  {
    std::lock_guard lock(mutex_);
    servers.swap(servers_);
  }
  for (auto& [id, server] : servers) server->Stop();
  servers.clear();
  std::vector<std::future<void>> endings;
  {
    std::lock_guard lock(mutex_);
    endings.swap(endings_);
  }
  endings.clear();  // waits for each
}

ControlReply ControlHost::Create() {
  std::shared_ptr<HttpServer> server;
  try {
    server = std::make_shared<HttpServer>();
  } catch (const std::exception& error) {
    return {500, error.what()};
  }
  std::lock_guard lock(mutex_);
  servers_[++last_id_] = server;
  return Ok(std::to_string(last_id_) + " " + std::to_string(server->Port()));
}

ControlReply ControlHost::Destroy(int id) {
  std::shared_ptr<HttpServer> server;
  {
    std::lock_guard lock(mutex_);
    const auto it = servers_.find(id);
    if (it == servers_.end()) return {404, "no test server " + std::to_string(id)};
    server = std::move(it->second);
    servers_.erase(it);
  }
  server->Stop();
  // The server stops listening at once, but a client that keeps an idle
  // connection open (WinHTTP under Wine pools them beyond its handles)
  // holds the rest of the teardown for the server's keep-alive time. The
  // answer waits only a moment for it; the rest ends on its own thread.
  std::future<void> ending = std::async(std::launch::async, [server = std::move(server)]() mutable {
    server.reset();  // after its requests still running, if any
  });
  ending.wait_for(kTeardownWait);
  std::lock_guard lock(mutex_);
  std::erase_if(endings_, [](const std::future<void>& other) {
    return other.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  });
  endings_.push_back(std::move(ending));
  return Ok();
}

std::shared_ptr<HttpServer> ControlHost::Find(int id) const {
  std::lock_guard lock(mutex_);
  const auto it = servers_.find(id);
  return it == servers_.end() ? nullptr : it->second;
}

}  // namespace brenvik::test
