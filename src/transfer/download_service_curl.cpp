// The download transport on libcurl: http, https and file URLs.

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "transfer/download_transport.h"
#include "transfer/proxy_setting.h"
#include "transfer/transfer_callback.h"
#include "transfer/url_text.h"

namespace brenvik::download {

namespace {

constexpr long kReceiveBufferSize = 128 * 1024;
// HTTP/2 streams on one connection at most (fewer when the server says so),
// and the downloads a run keeps going at once once a server multiplexes.
// With the loop writing most pieces itself, 48 keep a line of 20 ms full
// as well as 64 did, and end sooner: each is a thread to wind down.
constexpr long kStreamsPerConnection = 100;
constexpr int kMostMultiplexed = 48;

void InitCurlOnce() {
  // libcurl's global set-up is not thread-safe; the face and the download
  // worker may each build a service, so the first one does it for all.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlCleanup {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

}  // namespace

// Bytes held for one transfer before it is paused until the thread that
// owns it has written them. Pausing a stream of a multiplexed connection
// is dear (the connection's other streams wait while it is resumed), so on
// the hub's loop a transfer may hold up to kMostHeldAlone while all of the
// hub's transfers together hold less than kMostHeldTogether; its memory
// stays bounded by kMostHeld per transfer plus that sum.
constexpr size_t kMostHeld = 512 * 1024;
constexpr size_t kMostHeldAlone = 4 * 1024 * 1024;
constexpr size_t kMostHeldTogether = 8 * 1024 * 1024;
// The count at which the loop wakes the owning thread instead of waiting
// for its next look.
constexpr size_t kWakeAt = 128 * 1024;

// The final response's start, as the event loop saw it: the thread that
// owns the transfer hands it to StartBody before any of its bytes.
struct BodyStart {
  long status = 0;
  ResponseHeaders headers;
  std::optional<uint64_t> announced;  // Content-Length, when the server sent one
};

// What the event loop hands the thread that waits in Fetch, under `mutex`.
struct Inbox {
  std::mutex mutex;
  std::condition_variable arrived;
  std::optional<BodyStart> start;
  std::string bytes;    // body bytes not yet taken
  bool paused = false;  // the loop paused the transfer: Resume once the bytes are taken
  bool done = false;    // the transfer has left the loop; `code` is its end
  bool sent = false;    // its request went out on a connection
  bool wake = false;    // something the waiting thread should see now
  CURLcode code = CURLE_OK;
  // What all the transfers of the hub hold together; null off the hub.
  std::atomic<size_t>* held_together = nullptr;
};

// What the thread that owns a body has taken of the response so far.
struct Reception {
  std::optional<uint64_t> announced;  // the final response's Content-Length
  size_t unreported = 0;              // bytes taken since the last report
  bool stopped = false;               // the body said stop
};

// Bytes that go from libcurl's buffer straight to the body, with no copy
// into the inbox. On the body's own thread (a multi handle of its own)
// always; on the hub's event loop whenever the owning thread is not at the
// body itself (`mutex`, held by whichever thread is), the inbox is empty
// (so the bytes stay in order) and no speed limit is set (the owning
// thread pays for bytes; the loop never waits).
struct Direct {
  Body* body = nullptr;
  Reception* reception = nullptr;
  bool on_loop = false;
  std::mutex mutex;  // guards `body` and `reception` while on the loop
};

// One transfer. The fields above `inbox` belong to the event loop while
// the transfer runs (its callbacks fill them) and to Fetch once it is done.
struct CurlTransfer {
  CURL* curl = nullptr;
  uint64_t id = 0;  // the loop's name for it
  // The current response's headers that resuming and retrying need.
  ResponseHeaders headers;
  std::string retry_after;
  std::string location;
  std::string refusal;  // a redirect that must not be followed
  std::string proxy;    // the proxy this transfer goes through; empty for none
  Direct direct;
  Inbox inbox;
};

namespace {

bool Full(const Inbox& inbox) {
  const size_t held = inbox.bytes.size();
  if (held < kMostHeld) return false;
  if (held >= kMostHeldAlone || inbox.held_together == nullptr) return true;
  return inbox.held_together->load() >= kMostHeldTogether;
}

// Hands the body the final response's start; the reception keeps its
// Content-Length for the bytes that follow. False once the body says stop.
bool StartReception(Body& body, Reception& reception, const BodyStart& start) {
  reception.announced = start.announced;
  return StartBody(body, start.status, start.headers);
}

// Hands the body the response's start (when it has not been handed over
// yet) and `bytes`. False once the body says stop.
bool HandOver(CurlTransfer& transfer, const char* data, size_t bytes, Payment payment) {
  Reception& reception = *transfer.direct.reception;
  Body& body = *transfer.direct.body;
  std::optional<BodyStart> start;
  {
    std::lock_guard lock(transfer.inbox.mutex);
    start = std::exchange(transfer.inbox.start, std::nullopt);
  }
  bool go_on = !start || StartReception(body, reception, *start);
  if (go_on) go_on = TakeBody(body, data, bytes, reception.announced, payment);
  reception.unreported += bytes;
  reception.stopped = !go_on;
  return go_on;
}

// On the body's own thread. Returning less than `bytes` ends the transfer
// with a write error, which the pump reports as stopped by the body.
size_t TakeDirectly(CurlTransfer& transfer, const char* data, size_t bytes) {
  Reception& reception = *transfer.direct.reception;
  if (reception.stopped || !HandOver(transfer, data, bytes, Payment::kWait)) return 0;
  // One perform can read many buffers: the count is shown as often as the
  // hub wakes a thread for its bytes.
  if (reception.unreported >= kWakeAt) {
    reception.unreported = 0;
    Body& body = *transfer.direct.body;
    reception.stopped = !ReportProgress(body, body.received, reception.announced.value_or(0));
  }
  return reception.stopped ? 0 : bytes;
}

constexpr size_t kNotTaken = SIZE_MAX;

// On the hub's loop: the bytes go to the body when the loop may write them
// (see Direct); kNotTaken when they must wait in the inbox. The reports
// and the speed limit's waits stay with the owning thread.
size_t TakeOnLoop(CurlTransfer& transfer, const char* data, size_t bytes) {
  Direct& direct = transfer.direct;
  const std::unique_lock body_lock(direct.mutex, std::try_to_lock);
  if (!body_lock.owns_lock()) return kNotTaken;
  Reception& reception = *direct.reception;
  if (reception.stopped) return 0;
  const RateLimit* limit = direct.body->rate_limit;
  if (limit != nullptr && limit->Rate() > 0) return kNotTaken;
  Inbox& inbox = transfer.inbox;
  {
    std::lock_guard lock(inbox.mutex);
    if (!inbox.bytes.empty()) return kNotTaken;
  }
  const bool go_on = HandOver(transfer, data, bytes, Payment::kChargeOnly);
  // The owning thread shows the count on its next look (at most
  // kReportIntervalMs away); woken now only to stop.
  if (!go_on) {
    std::lock_guard lock(inbox.mutex);
    inbox.wake = true;
    inbox.arrived.notify_one();
  }
  return go_on ? bytes : 0;
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<CurlTransfer*>(user);
  const size_t bytes = size * count;
  if (transfer->direct.body != nullptr && !transfer->direct.on_loop) {
    return TakeDirectly(*transfer, data, bytes);
  }
  if (transfer->direct.body != nullptr) {
    if (const size_t taken = TakeOnLoop(*transfer, data, bytes); taken != kNotTaken) return taken;
  }
  Inbox& inbox = transfer->inbox;
  std::lock_guard lock(inbox.mutex);
  if (Full(inbox)) {
    // libcurl keeps the piece and hands it over again after the Resume.
    inbox.paused = true;
    inbox.wake = true;
    inbox.arrived.notify_one();
    return CURL_WRITEFUNC_PAUSE;
  }
  const bool was_below = inbox.bytes.size() < kWakeAt;
  // Room for what the owning thread is woken for at once: a string grown
  // piece by piece would copy itself over and over.
  if (inbox.bytes.capacity() < kWakeAt) inbox.bytes.reserve(kWakeAt + bytes);
  inbox.bytes.append(data, bytes);
  if (inbox.held_together != nullptr) inbox.held_together->fetch_add(bytes);
  if (was_below && inbox.bytes.size() >= kWakeAt) {
    inbox.wake = true;
    inbox.arrived.notify_one();
  }
  return bytes;
}

// libcurl has a connection for the transfer and sends its request: until
// then it waits for one (every connection to the server is busy), which
// is no stall.
int RequestGoesOut(void* user, char*, char*, int, int) {
  auto* transfer = static_cast<CurlTransfer*>(user);
  std::lock_guard lock(transfer->inbox.mutex);
  transfer->inbox.sent = true;
  return CURL_PREREQFUNC_OK;
}

// False (and the refusal set) when the response redirects to an address
// that must not be followed. Checked here, before libcurl follows it, so
// the refusal names the address and no request goes there.
bool RedirectAllowed(CurlTransfer& transfer, long status) {
  const bool redirect =
      status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  if (!redirect || Trimmed(transfer.location).empty()) return true;
  const char* effective = nullptr;
  curl_easy_getinfo(transfer.curl, CURLINFO_EFFECTIVE_URL, &effective);
  const std::string from = effective != nullptr ? effective : "";
  transfer.refusal = RedirectRefusal(from, ResolveLocation(from, transfer.location));
  return transfer.refusal.empty();
}

// The end of a final response's headers: its body follows.
void HandOverStart(CurlTransfer& transfer, long status) {
  BodyStart start{.status = status, .headers = transfer.headers};
  curl_off_t announced = -1;
  if (curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
          CURLE_OK &&
      announced >= 0) {
    start.announced = static_cast<uint64_t>(announced);
  }
  std::lock_guard lock(transfer.inbox.mutex);
  transfer.inbox.start = std::move(start);
}

size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<CurlTransfer*>(user);
  const size_t bytes = size * count;
  const std::string_view line(data, bytes);
  if (line.starts_with("HTTP/")) {
    // A new response (after a redirect, say): forget the previous one's headers.
    transfer->headers = {};
    transfer->retry_after.clear();
    transfer->location.clear();
    return bytes;
  }
  if (Trimmed(line).empty()) {
    long status = 0;
    curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
    if (!RedirectAllowed(*transfer, status)) return 0;
    if (status == 200 || status == 206) HandOverStart(*transfer, status);
    return bytes;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return bytes;
  std::string name(line.substr(0, colon));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string value(Trimmed(line.substr(colon + 1)));
  if (name == "etag") transfer->headers.etag = value;
  if (name == "last-modified") transfer->headers.last_modified = value;
  if (name == "content-range") transfer->headers.content_range = value;
  if (name == "retry-after") transfer->retry_after = value;
  if (name == "content-encoding") transfer->headers.content_encoding = value;
  if (name == "location") transfer->location = value;
  if (name == "accept-ranges") transfer->headers.accept_ranges = value;
  return bytes;
}

void Configure(CURL* curl, const std::string& wire_url, long stall_seconds, CurlTransfer& transfer,
               char* error_buffer) {
  // A reset drops the previous transfer's options; the open connections
  // live in the hub's connection cache, so the next file reuses them.
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, wire_url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,file");
  // Never from https down to http; the header callback refuses that first
  // and says so, this only backs it up.
  const bool secure = SchemeOf(wire_url) == "https";
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  // Over HTTPS a new transfer waits for the first connection's protocol
  // rather than opening another at once: on HTTP/2 it becomes a stream of
  // that connection.
  if (secure) curl_easy_setopt(curl, CURLOPT_PIPEWAIT, 1L);
  // The proxy is chosen here rather than by libcurl, so a failure can name it.
  curl_easy_setopt(curl, CURLOPT_PROXY, transfer.proxy.c_str());
  // Certificates trusted besides the system's store, as OpenSSL programs
  // take them (a company's own authority that inspects TLS, say).
  if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0') {
    curl_easy_setopt(curl, CURLOPT_CAINFO, file);
  }
  if (const char* folder = std::getenv("SSL_CERT_DIR"); folder != nullptr && *folder != '\0') {
    curl_easy_setopt(curl, CURLOPT_CAPATH, folder);
  }
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, stall_seconds);
  // Backs up the stall watch of the body (which also counts a trickle as a stall).
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_seconds);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, ReadHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, RequestGoesOut);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
}

}  // namespace
}  // namespace brenvik::download

namespace brenvik {

using download::CurlTransfer;

// The event loop: one thread that runs libcurl's multi handle for every
// transfer of the hub. Other threads only queue commands for it (start,
// stop, resume a paused transfer) and wake it; it alone calls libcurl on
// the multi handle and on the transfers it holds.
struct ConnectionHub::Loop {
  explicit Loop(int connections) : multi((download::InitCurlOnce(), curl_multi_init())) {
    if (multi == nullptr) return;
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(connections));
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, download::kStreamsPerConnection);
  }

  ~Loop() {
    if (multi == nullptr) return;
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    curl_multi_wakeup(multi);
    if (thread.joinable()) thread.join();
    curl_multi_cleanup(multi);
  }

  enum class Verb { kStart, kStop, kResume };

  struct Command {
    Verb verb;
    uint64_t id;
    CurlTransfer* transfer;
  };

  // Queues a command for the transfer named `id` (`transfer` for kStart).
  // The thread starts with the first command: a hub whose transfers all
  // run on their own threads (plain HTTP) never needs it.
  void Post(Verb verb, uint64_t id, CurlTransfer* transfer = nullptr) {
    {
      std::lock_guard lock(mutex);
      commands.push_back({verb, id, transfer});
      if (!thread.joinable()) thread = std::thread([this] { Run(); });
    }
    curl_multi_wakeup(multi);
  }

  uint64_t NewId() { return next_id.fetch_add(1) + 1; }

  void Run();
  void Obey(const std::vector<Command>& batch);
  void Finish(CurlTransfer& transfer, CURLcode code);
  void CollectFinished();

  CURLM* multi;
  std::mutex mutex;
  std::vector<Command> commands;  // guarded by mutex
  bool stopping = false;          // guarded by mutex
  // The transfers in the multi handle; a command for one no longer here
  // (it finished meanwhile) is dropped. Loop thread only.
  std::unordered_map<uint64_t, CurlTransfer*> running;
  std::atomic<uint64_t> next_id{0};
  std::atomic<bool> multiplexing{false};
  std::atomic<size_t> held_together{0};  // the body bytes in every inbox of the hub
  std::thread thread;                    // started by the first Post, under mutex
};

void ConnectionHub::Loop::Finish(CurlTransfer& transfer, CURLcode code) {
  curl_multi_remove_handle(multi, transfer.curl);
  running.erase(transfer.id);
  download::Inbox& inbox = transfer.inbox;
  std::lock_guard lock(inbox.mutex);
  inbox.done = true;
  inbox.code = code;
  inbox.wake = true;
  inbox.arrived.notify_one();
}

void ConnectionHub::Loop::Obey(const std::vector<Command>& batch) {
  for (const Command& command : batch) {
    if (command.verb == Verb::kStart) {
      running.emplace(command.id, command.transfer);
      if (curl_multi_add_handle(multi, command.transfer->curl) != CURLM_OK) {
        Finish(*command.transfer, CURLE_FAILED_INIT);
      }
      continue;
    }
    const auto found = running.find(command.id);
    if (found == running.end()) continue;
    if (command.verb == Verb::kStop) {
      // Removing a transfer cut short closes its connection.
      Finish(*found->second, CURLE_ABORTED_BY_CALLBACK);
    } else {
      curl_easy_pause(found->second->curl, CURLPAUSE_CONT);
    }
  }
}

void ConnectionHub::Loop::CollectFinished() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CurlTransfer* transfer = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
    long version = 0;
    curl_easy_getinfo(message->easy_handle, CURLINFO_HTTP_VERSION, &version);
    if (version >= CURL_HTTP_VERSION_2_0) multiplexing.store(true);
    // Finish removes the handle, so the message is read before that.
    const CURLcode code = message->data.result;
    if (transfer != nullptr && running.contains(transfer->id)) Finish(*transfer, code);
  }
}

void ConnectionHub::Loop::Run() {
  std::vector<Command> batch;
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (stopping) break;
      batch.swap(commands);
    }
    Obey(batch);
    batch.clear();
    int still_running = 0;
    curl_multi_perform(multi, &still_running);
    CollectFinished();
    // A command wakes the poll at once; the timeout only bounds libcurl's
    // own timers when it names none sooner.
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  // The hub goes only after every service made with it, so nothing runs now.
}

ConnectionHub::ConnectionHub(int connections)
    : connections_(std::max(connections, 1)), loop_(std::make_unique<Loop>(connections_)) {}

ConnectionHub::~ConnectionHub() = default;

int ConnectionHub::MostTransfers() const {
  return std::max(connections_, download::kMostMultiplexed);
}

bool ConnectionHub::Multiplexing() const { return loop_->multiplexing.load(); }

}  // namespace brenvik

namespace brenvik::download {
namespace {

// Codes of failures that no further try can mend.
bool PermanentFailure(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return true;
    default:
      return false;
  }
}

// Rewrites the failure's line so it names its real cause: the proxy, the
// certificate, a protocol this program does not fetch.
void NameTheCause(const CurlTransfer& transfer, CURLcode code, TransportEnd& end) {
  end.permanent = PermanentFailure(code);
  const std::string detail = " (" + end.error + ")";
  long connect_code = 0;
  curl_easy_getinfo(transfer.curl, CURLINFO_HTTP_CONNECTCODE, &connect_code);
  const std::string proxy = "the proxy " + ShownProxy(transfer.proxy);
  if (!transfer.proxy.empty() && (end.status == 407 || connect_code == 407)) {
    end.error = proxy + " asks for a login (HTTP status 407)";
  } else if (!transfer.proxy.empty() && connect_code >= 300) {
    end.error =
        proxy + " could not reach the server (HTTP status " + std::to_string(connect_code) + ")";
  } else if (!transfer.proxy.empty() &&
             (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_PROXY ||
              code == CURLE_PROXY)) {
    end.error = "cannot reach " + proxy + detail;
  } else if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_ISSUER_ERROR ||
             code == CURLE_SSL_PINNEDPUBKEYNOTMATCH) {
    end.error = "the server's certificate is not trusted" + detail;
  } else if (code == CURLE_UNSUPPORTED_PROTOCOL) {
    end.error = "an address this program does not fetch from" + detail;
  }
}

// The request's headers: the Range of a resumed download with the
// validator it must still match (otherwise the server sends the whole
// file), and the no-cache pair.
curl_slist* RequestHeaders(const Body& body, CURL* curl) {
  curl_slist* headers = nullptr;
  if (const std::string range = RangeHeaderValue(body); !range.empty()) {
    headers = curl_slist_append(headers, ("Range: " + range).c_str());
    headers = curl_slist_append(headers, ("If-Range: " + body.validator).c_str());
  }
  if (body.target->past_caches) {
    // Pragma for the caches that know only HTTP/1.0.
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");
  }
  if (headers != nullptr) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  return headers;
}

// What one look at the inbox took.
struct Taken {
  std::optional<BodyStart> start;
  bool paused = false;
  bool done = false;
  bool sent = false;
  CURLcode code = CURLE_OK;
};

Taken TakeFromInbox(Inbox& inbox, std::string& bytes) {
  std::lock_guard lock(inbox.mutex);
  inbox.wake = false;
  bytes.swap(inbox.bytes);
  if (inbox.held_together != nullptr) inbox.held_together->fetch_sub(bytes.size());
  return Taken{.start = std::exchange(inbox.start, std::nullopt),
               .paused = std::exchange(inbox.paused, false),
               .done = inbox.done,
               .sent = inbox.sent,
               .code = inbox.code};
}

// Moves one transfer's bytes into its inbox, for the thread that asked for
// it: the hub's event loop, or that thread itself on a multi handle of its
// own.
class Drive {
 public:
  virtual ~Drive() = default;
  virtual void Start(CurlTransfer& transfer) = 0;
  // Returns once the inbox may hold news, or after the report interval.
  virtual void Await(CurlTransfer& transfer) = 0;
  // The transfer leaves at once: its inbox is marked done.
  virtual void Stop(CurlTransfer& transfer) = 0;
  // Goes on with a transfer that the write callback paused.
  virtual void Resume(CurlTransfer& transfer) = 0;
};

// Through the hub's event loop, on its thread: transfers to one server
// share its connections, as streams where the server multiplexes. Each
// handing over between the threads costs a wake-up.
class HubDrive final : public Drive {
 public:
  explicit HubDrive(ConnectionHub::Loop& loop) : loop_(loop) {}

  void Start(CurlTransfer& transfer) override {
    transfer.inbox.held_together = &loop_.held_together;
    loop_.Post(ConnectionHub::Loop::Verb::kStart, transfer.id, &transfer);
  }
  void Await(CurlTransfer& transfer) override {
    Inbox& inbox = transfer.inbox;
    std::unique_lock lock(inbox.mutex);
    inbox.arrived.wait_for(lock, std::chrono::milliseconds(kReportIntervalMs),
                           [&] { return inbox.wake; });
  }
  void Stop(CurlTransfer& transfer) override {
    loop_.Post(ConnectionHub::Loop::Verb::kStop, transfer.id);
  }
  void Resume(CurlTransfer& transfer) override {
    loop_.Post(ConnectionHub::Loop::Verb::kResume, transfer.id);
  }

 private:
  ConnectionHub::Loop& loop_;
};

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// On the asking thread, on a multi handle of its own that keeps its
// connection from one transfer to the next: for transfers that cannot
// share a connection with others (plain HTTP carries one at a time), so
// their bytes are written where they arrive, with no thread to wake.
class OwnDrive final : public Drive {
 public:
  OwnDrive() : multi_(curl_multi_init()) {}
  bool Ready() const { return multi_ != nullptr; }

  void Start(CurlTransfer& transfer) override {
    if (curl_multi_add_handle(multi_.get(), transfer.curl) != CURLM_OK) {
      MarkDone(transfer, CURLE_FAILED_INIT);
    }
  }
  void Await(CurlTransfer& transfer) override {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kReportIntervalMs);
    for (;;) {
      int running = 0;
      curl_multi_perform(multi_.get(), &running);
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == transfer.curl) {
          End(transfer, message->data.result);
        }
      }
      if (HasNews(transfer.inbox)) return;
      const auto left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left_ms.count() <= 0) return;
      curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(left_ms.count()), nullptr);
    }
  }
  void Stop(CurlTransfer& transfer) override { End(transfer, CURLE_ABORTED_BY_CALLBACK); }
  void Resume(CurlTransfer& transfer) override { curl_easy_pause(transfer.curl, CURLPAUSE_CONT); }

 private:
  static bool HasNews(Inbox& inbox) {
    std::lock_guard lock(inbox.mutex);
    return inbox.done || inbox.paused || inbox.start || !inbox.bytes.empty();
  }
  static void MarkDone(CurlTransfer& transfer, CURLcode code) {
    std::lock_guard lock(transfer.inbox.mutex);
    transfer.inbox.done = true;
    transfer.inbox.code = code;
  }
  // Removing a transfer cut short closes its connection.
  void End(CurlTransfer& transfer, CURLcode code) {
    curl_multi_remove_handle(multi_.get(), transfer.curl);
    MarkDone(transfer, code);
  }

  std::unique_ptr<CURLM, MultiCleanup> multi_;
};

// Hands what the drive received to the body, on this thread, until the
// transfer has left it: the start, the bytes (written and hashed here),
// and a report at least every kReportIntervalMs. A direct transfer has
// handed its bytes over already; `reception` says what it took. Once the
// body says stop, the drive drops the transfer. Returns how the transfer
// ended.
CURLcode Pump(Drive& drive, CurlTransfer& transfer, Body& body, Reception& reception) {
  std::string bytes;
  bool stopping = false;
  for (;;) {
    drive.Await(transfer);
    // The loop writes to the body only while this thread is away from it.
    std::unique_lock body_lock(transfer.direct.mutex);
    const Taken taken = TakeFromInbox(transfer.inbox, bytes);
    if (!taken.sent) HoldStallWatch(body);
    bool go_on = !stopping && !reception.stopped;
    if (go_on && taken.start) go_on = StartReception(body, reception, *taken.start);
    const bool moved = !bytes.empty() || std::exchange(reception.unreported, 0) > 0;
    if (go_on && !bytes.empty()) {
      go_on = TakeBody(body, bytes.data(), bytes.size(), reception.announced);
    }
    bytes.clear();
    // Bytes that came are shown, the last ones too; a look that found
    // nothing keeps the face alive.
    if (go_on && moved) {
      go_on = ReportProgress(body, body.received, reception.announced.value_or(0));
    } else if (go_on && !taken.done) {
      go_on = ReportIdle(body);
    }
    // Nothing more goes to a body that said stop, not even from the loop.
    if (!go_on) reception.stopped = true;
    body_lock.unlock();
    if (taken.done) return stopping || !go_on ? CURLE_ABORTED_BY_CALLBACK : taken.code;
    if (!go_on && !stopping) {
      stopping = true;
      drive.Stop(transfer);
    } else if (taken.paused && !stopping) {
      drive.Resume(transfer);
    }
  }
}

class CurlTransport final : public Transport {
 public:
  explicit CurlTransport(ConnectionHub& hub) : hub_(hub.loop()), curl_(curl_easy_init()) {}

  std::string Unready() const override {
    return curl_ == nullptr || hub_.multi == nullptr || !own_.Ready()
               ? "cannot create a transfer handle"
               : "";
  }

  TransportEnd Fetch(const std::string& wire_url, Body& body,
                     std::chrono::seconds stall_timeout) override {
    CurlTransfer transfer{.curl = curl_.get(), .id = hub_.NewId()};
    transfer.proxy = ProxyFor(wire_url, [](const char* name) { return std::getenv(name); });
    char curl_error[CURL_ERROR_SIZE] = {};
    Configure(transfer.curl, wire_url, static_cast<long>(stall_timeout.count()), transfer,
              curl_error);
    curl_easy_setopt(transfer.curl, CURLOPT_PRIVATE, &transfer);
    curl_slist* headers = RequestHeaders(body, transfer.curl);
    // Only HTTPS may multiplex (HTTP/2 is asked for through TLS); plain
    // HTTP and files gain nothing from the hub's loop but its hand-offs.
    const bool own = SchemeOf(wire_url) != "https";
    Drive& drive = own ? static_cast<Drive&>(own_) : hub_drive_;
    // The write callback hands the bytes to the body itself: here on this
    // thread's own multi handle, or on the hub's loop while this thread waits.
    Reception reception;
    transfer.direct.body = &body;
    transfer.direct.reception = &reception;
    transfer.direct.on_loop = !own;
    drive.Start(transfer);
    const CURLcode code = Pump(drive, transfer, body, reception);
    // The error buffer and the header list live on this stack; the handle
    // outlives them.
    curl_easy_setopt(transfer.curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(transfer.curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    if (!transfer.refusal.empty()) body.refusal = transfer.refusal;
    return Ended(transfer, code, curl_error);
  }

 private:
  static TransportEnd Ended(const CurlTransfer& transfer, CURLcode code, const char* curl_error) {
    TransportEnd end;
    curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &end.status);
    if (code == CURLE_HTTP_RETURNED_ERROR && !(end.status == 407 && !transfer.proxy.empty())) {
      end.kind = TransportEnd::Kind::kHttpError;
      end.retry_after =
          RetryAfterOf(end.status, transfer.retry_after, std::chrono::system_clock::now());
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
      end.kind = TransportEnd::Kind::kStalled;
    } else if (code != CURLE_OK) {
      end.kind = TransportEnd::Kind::kFailed;
      end.error = curl_error[0] != '\0' ? curl_error : curl_easy_strerror(code);
      NameTheCause(transfer, code, end);
    }
    return end;
  }

  ConnectionHub::Loop& hub_;
  HubDrive hub_drive_{hub_};
  OwnDrive own_;
  std::unique_ptr<CURL, CurlCleanup> curl_;
};

}  // namespace

std::unique_ptr<Transport> MakeTransport(ConnectionHub& hub) {
  return std::make_unique<CurlTransport>(hub);
}

}  // namespace brenvik::download
