// A TCP front that makes loopback behave like a distant link, for the
// end-to-end benchmark.
//
//   latency_proxy --listen HOST:PORT --to HOST:PORT --delay-ms D [--rate-kib N]
//                 [--line-kib N]
//
// It listens on HOST:PORT (port 0 picks a free one), prints the port it got on
// one line of stdout, and forwards every accepted connection to --to. Each
// chunk read from one side is written to the other D ms after it arrived, in
// order, in both directions: a request and its answer cost a round trip of
// 2 D. A new connection costs one more round trip before its first bytes go
// through, as a TCP handshake over such a link would. --rate-kib caps what
// each direction of each connection delivers (a token bucket), and at most
// kWindowBytes wait in one direction, so a fast sender is held back as a TCP
// window would hold it. --line-kib caps what all connections together deliver
// from the server to the client, as a shared line would: one bucket that
// every connection's writer in that direction draws from, handing out the
// line's bytes in the order the writers ask, so connections share it evenly.
// Both caps apply where both are given. An end of stream is passed on as a
// half-close, after the data before it.
//
// Every connection has four threads: a reader and a writer per direction. A
// writer sleeps until its next chunk is due; nothing polls.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::size_t kWindowBytes = 4 * 1024 * 1024;

struct Options {
  std::string listen_host, listen_port, to_host, to_port;
  std::chrono::milliseconds delay{0};
  double rate_bytes_per_second = 0;  // 0: no cap
  double line_bytes_per_second = 0;  // 0: no cap
};

// 5 ms of rate: a short burst, yet not so short that sleeping's overshoot
// costs rate.
double BurstOf(double bytes_per_second) { return std::max(16.0 * 1024, bytes_per_second / 200); }

// The line every connection shares in one direction. Each writer reserves its
// next piece under the lock and sleeps outside it until the piece's turn: the
// line's clock (`busy_until_`) advances by each piece's time on the line, and
// a piece may go a burst's time before the line is free for it, so an idle
// line lets a burst through at once and a busy one runs at the rate.
class Line {
 public:
  explicit Line(double bytes_per_second)
      : rate_(bytes_per_second),
        burst_(BurstOf(bytes_per_second)),
        burst_time_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(burst_ / rate_))) {}

  // The most one Take may ask for.
  std::size_t Burst() const { return static_cast<std::size_t>(burst_); }

  // Sleeps until `bytes` (at most Burst()) may go out on the line.
  void Take(std::size_t bytes) {
    Clock::time_point go;
    {
      std::lock_guard lock(mutex_);
      const Clock::time_point now = Clock::now();
      busy_until_ = std::max(busy_until_, now) +
                    std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(bytes) / rate_));
      go = busy_until_ - burst_time_;
    }
    std::this_thread::sleep_until(go);
  }

 private:
  const double rate_, burst_;
  const Clock::duration burst_time_;
  std::mutex mutex_;
  Clock::time_point busy_until_{};
};

struct Chunk {
  Clock::time_point due;
  std::vector<char> bytes;  // empty: the end of the stream
};

// One direction of one connection: what the reader took from `from` and the
// writer has not yet given to `to`, through `line` when that direction has one.
class Pipe {
 public:
  Pipe(int from, int to, Clock::time_point opens, const Options& options, Line* line)
      : from_(from), to_(to), opens_(opens), options_(options), line_(line) {}

  void Read() {
    std::vector<char> buffer(kChunkBytes);
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return broken_ || queued_ < kWindowBytes; });
        if (broken_) return;
      }
      ssize_t got = recv(from_, buffer.data(), buffer.size(), 0);
      if (got < 0 && errno == EINTR) continue;
      Chunk chunk{std::max(Clock::now(), opens_) + options_.delay, {}};
      if (got > 0) chunk.bytes.assign(buffer.begin(), buffer.begin() + got);
      std::lock_guard lock(mutex_);
      queued_ += chunk.bytes.size();
      queue_.push_back(std::move(chunk));
      changed_.notify_all();
      if (got <= 0) return;
    }
  }

  void Write() {
    tokens_ = Burst();
    refilled_ = Clock::now();
    for (;;) {
      std::optional<Chunk> chunk = NextDue();
      if (!chunk) return;
      if (chunk->bytes.empty()) {
        shutdown(to_, SHUT_WR);
        return;
      }
      if (!Deliver(chunk->bytes)) {
        Break();
        return;
      }
      std::lock_guard lock(mutex_);
      queued_ -= chunk->bytes.size();
      changed_.notify_all();
    }
  }

 private:
  // Waits until the first chunk is due and takes it; nothing once broken.
  std::optional<Chunk> NextDue() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (broken_) return std::nullopt;
      if (!queue_.empty() && Clock::now() >= queue_.front().due) break;
      if (queue_.empty()) {
        changed_.wait(lock);
      } else {
        changed_.wait_until(lock, queue_.front().due);
      }
    }
    Chunk chunk = std::move(queue_.front());
    queue_.pop_front();
    return chunk;
  }

  double Burst() const { return BurstOf(options_.rate_bytes_per_second); }

  // Sends every byte, no faster than the rate cap and the line allow; false
  // when `to` is gone.
  bool Deliver(const std::vector<char>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      std::size_t allowed = bytes.size() - sent;
      if (line_ != nullptr) allowed = std::min(allowed, line_->Burst());
      if (options_.rate_bytes_per_second > 0) allowed = std::min(allowed, TakeTokens(allowed));
      if (line_ != nullptr) line_->Take(allowed);
      ssize_t put = send(to_, bytes.data() + sent, allowed, MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) put = 0;
      if (put < 0) return false;
      if (options_.rate_bytes_per_second > 0) tokens_ += static_cast<double>(allowed - put);
      sent += static_cast<std::size_t>(put);
    }
    return true;
  }

  // Sleeps until the bucket holds min(wanted, burst) bytes and takes them.
  std::size_t TakeTokens(std::size_t wanted) {
    const double rate = options_.rate_bytes_per_second;
    const double take = std::min(static_cast<double>(wanted), Burst());
    for (;;) {
      Clock::time_point now = Clock::now();
      tokens_ = std::min(Burst(),
                         tokens_ + rate * std::chrono::duration<double>(now - refilled_).count());
      refilled_ = now;
      if (tokens_ >= take) break;
      std::this_thread::sleep_for(std::chrono::duration<double>((take - tokens_) / rate));
    }
    tokens_ -= take;
    return static_cast<std::size_t>(take);
  }

  // The destination is gone: drop what waits and stop the reader, which
  // may be blocked in recv.
  void Break() {
    std::lock_guard lock(mutex_);
    broken_ = true;
    queue_.clear();
    shutdown(from_, SHUT_RD);
    changed_.notify_all();
  }

  const int from_, to_;
  const Clock::time_point opens_;
  const Options& options_;
  Line* const line_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> queue_;
  std::size_t queued_ = 0;
  bool broken_ = false;
  double tokens_ = 0;  // the writer's alone
  Clock::time_point refilled_;
};

int Connect(const addrinfo* to) {
  for (const addrinfo* a = to; a != nullptr; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    close(fd);
  }
  return -1;
}

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void Serve(int client, const addrinfo* to, const Options& options, Line* down_line) {
  // The handshake's round trip: neither direction delivers before it is over.
  const Clock::time_point opens = Clock::now() + 2 * options.delay;
  int server = Connect(to);
  if (server < 0) {
    std::fprintf(stderr, "latency_proxy: connect: %s\n", std::strerror(errno));
    close(client);
    return;
  }
  SetNoDelay(client);
  SetNoDelay(server);
  Pipe up(client, server, opens, options, nullptr);
  Pipe down(server, client, opens, options, down_line);
  {
    std::jthread up_reader([&] { up.Read(); }), down_reader([&] { down.Read(); });
    std::jthread down_writer([&] { down.Write(); });
    up.Write();
  }
  close(client);
  close(server);
}

addrinfo* Resolve(const std::string& host, const std::string& port, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* result = nullptr;
  int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
  if (status != 0) {
    std::fprintf(stderr, "latency_proxy: %s:%s: %s\n", host.c_str(), port.c_str(),
                 gai_strerror(status));
    std::exit(1);
  }
  return result;
}

int Listen(const addrinfo* at) {
  int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
  int one = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, at->ai_addr, at->ai_addrlen) != 0 || listen(fd, 128) != 0) {
    std::perror("latency_proxy: listen");
    std::exit(1);
  }
  return fd;
}

unsigned PortOf(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: latency_proxy --listen HOST:PORT --to HOST:PORT --delay-ms D "
               "[--rate-kib N] [--line-kib N]\n"
               "  --rate-kib N  each direction of each connection delivers at most N KiB/s\n"
               "  --line-kib N  all connections together deliver at most N KiB/s from the\n"
               "                server to the client\n");
  std::exit(2);
}

void SplitAddress(const std::string& text, std::string& host, std::string& port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) Usage();
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
}

long Number(const char* text) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0) Usage();
  return value;
}

Options Parse(int argc, char** argv) {
  Options options;
  bool have_listen = false, have_to = false;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (i + 1 >= argc) Usage();
    const char* value = argv[++i];
    if (flag == "--listen") {
      SplitAddress(value, options.listen_host, options.listen_port);
      have_listen = true;
    } else if (flag == "--to") {
      SplitAddress(value, options.to_host, options.to_port);
      have_to = true;
    } else if (flag == "--delay-ms") {
      options.delay = std::chrono::milliseconds(Number(value));
    } else if (flag == "--rate-kib") {
      options.rate_bytes_per_second = 1024.0 * static_cast<double>(Number(value));
    } else if (flag == "--line-kib") {
      options.line_bytes_per_second = 1024.0 * static_cast<double>(Number(value));
    } else {
      Usage();
    }
  }
  if (!have_listen || !have_to) Usage();
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  static const Options options = Parse(argc, argv);
  static const addrinfo* const to = Resolve(options.to_host, options.to_port, false);
  // The server-to-client line every connection shares; none without a cap.
  static Line* const down_line =
      options.line_bytes_per_second > 0 ? new Line(options.line_bytes_per_second) : nullptr;
  addrinfo* here = Resolve(options.listen_host, options.listen_port, true);
  int listener = Listen(here);
  freeaddrinfo(here);
  std::printf("%u\n", PortOf(listener));
  std::fflush(stdout);
  for (;;) {
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      // Out of descriptors or an aborted handshake: carry on, a little later.
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    std::thread([client] { Serve(client, to, options, down_line); }).detach();
  }
}
