#include "tools/release_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/file_descriptor.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 64 * 1024;
// With a rate set, chunks are small enough for about this many pauses a
// second, so progress moves smoothly rather than in 64 KiB jumps.
constexpr uint64_t kThrottledChunksPerSecond = 20;
constexpr size_t kSmallestThrottledChunk = 1024;
// An idle kept-alive connection holds up Stop for up to this long.
constexpr time_t kKeepAliveSeconds = 2;

bool IsInside(const fs::path& file, const fs::path& root) {
  const auto [root_end, file_it] =
      std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  return root_end == root.end() && file_it != file.end();
}

// The regular file under `root` that the decoded request path names, with
// every link resolved; nothing when the path climbs, holds a NUL, names a
// folder or nothing, or leads out of the root.
std::optional<fs::path> Resolve(const fs::path& root, std::string_view request_path) {
  if (request_path.empty() || request_path.front() != '/') return std::nullopt;
  if (request_path.find('\0') != std::string_view::npos) return std::nullopt;
  fs::path file = root;
  bool any = false;
  size_t start = 1;
  while (start <= request_path.size()) {
    size_t end = request_path.find('/', start);
    if (end == std::string_view::npos) end = request_path.size();
    const std::string_view component = request_path.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") return std::nullopt;
    file /= std::string(component);
    any = true;
  }
  if (!any) return std::nullopt;
  std::error_code error;
  fs::path resolved = fs::canonical(file, error);
  if (error || !IsInside(resolved, root) || !fs::is_regular_file(resolved, error)) {
    return std::nullopt;
  }
  return resolved;
}

void NotFound(httplib::Response& response) {
  response.status = 404;
  response.set_content("Not Found\n", "text/plain");
}

// The file's validators: a strong ETag, which changes whenever the file is
// replaced or written (its inode, size and modification time to the
// nanosecond), and Last-Modified, the modification time as an HTTP date.
struct Validators {
  std::string etag;
  std::string last_modified;
  // Whether Last-Modified may stand for the content: only once the file has
  // been left alone for a second, as a date cannot tell apart two writes
  // within the second it names.
  bool date_is_strong = false;
};

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT"), its names spelled out
// here so that no locale changes them.
std::string HttpDate(time_t when) {
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm utc {};
  if (::gmtime_r(&when, &utc) == nullptr) return {};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

Validators ValidatorsOf(const struct stat& info) {
  char etag[80];
  std::snprintf(etag, sizeof etag, "\"%llx-%llx-%llx.%09ld\"",
                static_cast<unsigned long long>(info.st_ino),
                static_cast<unsigned long long>(info.st_size),
                static_cast<unsigned long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
  Validators validators;
  validators.etag = etag;
  validators.last_modified = HttpDate(info.st_mtim.tv_sec);
  validators.date_is_strong = std::time(nullptr) > info.st_mtim.tv_sec;
  return validators;
}

// Whether a Range may be answered: always without If-Range; with it, only
// when it names this very file, by its ETag (compared strongly, so a weak
// tag never matches) or by a strong Last-Modified.
bool RangeStillApplies(const httplib::Request& request, const Validators& validators) {
  if (!request.has_header("If-Range")) return true;
  const std::string condition = request.get_header_value("If-Range");
  if (condition == validators.etag) return true;
  return validators.date_is_strong && !validators.last_modified.empty() &&
         condition == validators.last_modified;
}

}  // namespace

struct ReleaseServer::Shared {
  fs::path root;  // canonical
  uint64_t bytes_per_second = 0;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;

  // When the server may send its next bytes: the rate holds for all
  // responses together, however many connections a client opens.
  std::chrono::steady_clock::time_point next_send{};

  // Waits until `bytes` more may go out at the server's rate, unless Stop
  // comes first; false when stopping.
  bool Pace(uint64_t bytes) {
    std::unique_lock lock(mutex);
    const auto start = std::max(std::chrono::steady_clock::now(), next_send);
    const auto until =
        start + std::chrono::microseconds(static_cast<int64_t>(bytes * 1000000 / bytes_per_second));
    next_send = until;
    return !wake.wait_until(lock, until, [this] { return stopping; });
  }
};

ReleaseServer::ReleaseServer(fs::path root, uint64_t bytes_per_second)
    : root_(std::move(root)), bytes_per_second_(bytes_per_second) {}

ReleaseServer::~ReleaseServer() { Stop(); }

namespace {

// Whether every range asked for starts inside a file of `size` bytes (a
// suffix range, "-N", always does).
bool RangesFit(const httplib::Ranges& ranges, size_t size) {
  return std::all_of(ranges.begin(), ranges.end(), [size](const httplib::Range& range) {
    return range.first < 0 || static_cast<size_t>(range.first) < size;
  });
}

// 416 with the file's size, rather than a 206 that promises bytes the file
// does not have.
void RangeNotSatisfiable(const httplib::Request& request, httplib::Response& response,
                         size_t size) {
  const_cast<httplib::Request&>(request).ranges.clear();
  response.status = 416;
  response.set_header("Content-Range", "bytes */" + std::to_string(size));
  response.set_content("", "text/plain");
}

// Answers one GET (or HEAD) with the file it names below the root, at the
// server's rate.
void ServeFile(const std::shared_ptr<ReleaseServer::Shared>& shared,
               const httplib::Request& request, httplib::Response& response) {
  const std::optional<fs::path> file = Resolve(shared->root, request.path);
  if (!file) return NotFound(response);
  // The resolved path holds no links, so refusing one here only closes
  // the gap between the check and the open.
  auto fd =
      std::make_shared<FileDescriptor>(::open(file->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat info {};
  if (fd->get() < 0 || ::fstat(fd->get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return NotFound(response);
  }
  const Validators validators = ValidatorsOf(info);
  response.set_header("ETag", validators.etag);
  response.set_header("Last-Modified", validators.last_modified);
  response.set_header("Accept-Ranges", "bytes");
  if (!RangeStillApplies(request, validators)) {
    // The file is not the one the client holds part of: the whole of it,
    // with 200. The library slices the body by the parsed ranges, so they go.
    const_cast<httplib::Request&>(request).ranges.clear();
  }
  const auto size = static_cast<size_t>(info.st_size);
  if (!RangesFit(request.ranges, size)) return RangeNotSatisfiable(request, response, size);
  if (size == 0) {
    response.set_content("", "application/octet-stream");
    return;
  }
  size_t chunk = kChunk;
  if (shared->bytes_per_second > 0) {
    chunk = static_cast<size_t>(std::clamp<uint64_t>(
        shared->bytes_per_second / kThrottledChunksPerSecond, kSmallestThrottledChunk, kChunk));
  }
  response.set_content_provider(
      size, "application/octet-stream",
      [fd, shared, chunk](size_t offset, size_t length, httplib::DataSink& sink) {
        std::vector<char> buffer(std::min(length, chunk));
        const ssize_t got =
            ::pread(fd->get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
        // A file that shrank since its length was announced: closing the
        // connection tells the client the body is short.
        if (got <= 0) return false;
        if (shared->bytes_per_second > 0 && !shared->Pace(static_cast<uint64_t>(got))) {
          return false;
        }
        return sink.write(buffer.data(), static_cast<size_t>(got));
      });
}

void Configure(httplib::Server& server) {
  server.set_keep_alive_max_count(1000);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  // Headers and body go out in separate writes; without this a kept-alive
  // connection waits on the client's delayed ACK for every small response.
  server.set_tcp_nodelay(true);
  // The library's default also sets SO_REUSEPORT, which would let a second
  // server share a port that is already taken; only address reuse is wanted.
  server.set_socket_options([](int socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
}

}  // namespace

bool ReleaseServer::Start(int port) {
  if (server_) return false;
  std::error_code error;
  const fs::path root = fs::canonical(root_, error);
  if (error || !fs::is_directory(root, error)) return false;

  shared_ = std::make_shared<Shared>();
  shared_->root = root;
  shared_->bytes_per_second = bytes_per_second_;
  server_ = std::make_unique<httplib::Server>();
  Configure(*server_);
  // HEAD is routed here too; the library then sends the headers only.
  server_->Get(".*",
               [shared = shared_](const httplib::Request& request, httplib::Response& response) {
                 ServeFile(shared, request, response);
               });
  if (log_) {
    server_->set_logger(
        [log = log_](const httplib::Request& request, const httplib::Response& response) {
          log(request.method + " " + request.path + " " + std::to_string(response.status));
        });
  }
  return Listen(port);
}

bool ReleaseServer::Listen(int port) {
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else {
    port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (port_ <= 0) {
    server_.reset();
    port_ = 0;
    return false;
  }
  thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server_->is_running()) {
    Stop();
    return false;
  }
  return true;
}

std::string ReleaseServer::Url() const {
  if (port_ <= 0) return {};
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

void ReleaseServer::Stop() {
  if (shared_) {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    shared_->wake.notify_all();
  }
  if (server_) {
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }
}

}  // namespace brenvik
