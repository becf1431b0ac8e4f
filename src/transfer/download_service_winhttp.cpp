// The download transport on WinHTTP: http, and https through the system's
// TLS; file URLs are read from the disk through the same body path.
//
// WinHTTP runs in its asynchronous mode. Each call (send the request, take
// the headers, ask for data, read it) returns at once and completes later
// on one of WinHTTP's threads, whose callback only records the completion
// and wakes the download thread. The download thread waits for it at most
// kReportIntervalMs at a time, so between completions it reports to the
// transfer callback (keeping the face alive and honouring the abort) and
// counts how long nothing has come, for the stall timeout. Synchronous
// calls with short time-outs cannot do this: a WinHTTP time-out ends the
// request.
//
// Stopping early (an abort, a stall, a body that cannot fit) closes the
// request handle, which cancels what is pending. What WinHTTP may still do
// with the request (complete a read into its buffer, call back) touches
// only the request's Exchange, which the callback holds until the handle's
// last notice (HANDLE_CLOSING), so the download thread never waits for it.
//
// Redirects are followed here, not by WinHTTP, so that only http and https
// are followed, never from https down to http, and at most kMaxRedirects
// of them.

// The proxy is the user's: WinHTTP's automatic proxy (the user's settings,
// a PAC script, WPAD) on Windows 8.1 and later; before that the proxy the
// user's Internet Options name, when they name one. One WinHTTP session per
// connection hub, shared by every service made with it (WinHTTP's handles
// may be used from any thread): it keeps idle connections for reuse, at
// most the hub's count per server, and where Windows speaks HTTP/2 the
// requests of all the services share a connection as streams. Each
// transport keeps the connect handle of the last server while downloads go
// to it.

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/contained_files.h"
#include "platform/file_io.h"
#include "platform/utf8_path.h"
#include "transfer/download_transport.h"
#include "transfer/transfer_callback.h"
#include "transfer/url_text.h"

namespace brenvik::download {

namespace {

using Clock = std::chrono::steady_clock;

// WinHTTP hands over what it has, rarely more than a few dozen kilobytes
// at once; a local file is read in larger pieces.
constexpr DWORD kReceiveBufferSize = 64 * 1024;
constexpr size_t kFileChunkSize = 256 * 1024;
// The downloads a run keeps going at once once a server multiplexes.
constexpr int kMostMultiplexed = 64;

constexpr DWORD kNotices = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                           WINHTTP_CALLBACK_FLAG_SECURE_FAILURE;

// UTF-8 text as WinHTTP takes it. Text that is not UTF-8 (a validator is
// whatever bytes a server sent) goes over byte by byte.
std::wstring WireText(std::string_view text) {
  try {
    return PathFromUtf8(text).native();
  } catch (const std::exception&) {
    return std::wstring(text.begin(), text.end());
  }
}

// WinHTTP's text as UTF-8; a character that cannot be converted becomes '?'.
std::string Narrow(const std::wstring& text) {
  try {
    return Utf8Of(std::filesystem::path(text));
  } catch (const std::exception&) {
    std::string ascii(text.size(), '?');
    std::transform(text.begin(), text.end(), ascii.begin(),
                   [](wchar_t c) { return c < 0x80 ? static_cast<char>(c) : '?'; });
    return ascii;
  }
}

TransportEnd Ended(TransportEnd::Kind kind, long status, std::string error = {}) {
  return TransportEnd{.kind = kind, .status = status, .error = std::move(error)};
}

// ------------------------------------------------------------ file URLs

// Reads the file a file URL names into the body, as a server would send it.
TransportEnd FetchFile(const std::string& url, Body& body, std::vector<char>& buffer) {
  std::filesystem::path path;
  try {
    path = PathFromUtf8(FileUrlPath(url));
  } catch (const std::exception&) {
    return Ended(TransportEnd::Kind::kFailed, 0, "the file URL is not UTF-8: \"" + url + "\"");
  }
  // Opened below its folder, which refuses a file that is a link; links
  // are rare on Windows, and a release folder has no need of them.
  ContainedFile file = OpenForReadingBelow(path.parent_path(), Utf8Of(path.filename()));
  if (!file.Ok()) return Ended(TransportEnd::Kind::kFailed, 0, file.Error().message);
  const uint64_t size = file.Size();
  if (!BodyFits(body, 0, size)) return Ended(TransportEnd::Kind::kFailed, 0);
  for (;;) {
    const long long got = ReadSome(file.get(), buffer.data(), buffer.size());
    if (got < 0) {
      return Ended(
          TransportEnd::Kind::kFailed, 0,
          "cannot read \"" + Utf8Of(path) + "\": " + std::generic_category().message(errno));
    }
    if (got == 0) return Ended(TransportEnd::Kind::kComplete, 0);
    if (!TakeBody(body, buffer.data(), static_cast<size_t>(got), size) ||
        !ReportProgress(body, body.received, size)) {
      return Ended(TransportEnd::Kind::kFailed, 0);
    }
  }
}

// ------------------------------------------------------------ addresses

struct WebAddress {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring object;  // the path and the query
  std::string shown;    // "host port N", for messages
};

std::optional<WebAddress> Crack(const std::string& url) {
  const std::wstring wide = WireText(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
      parts.dwHostNameLength == 0 ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
    return std::nullopt;
  }
  WebAddress address{.secure = parts.nScheme == INTERNET_SCHEME_HTTPS,
                     .host = std::wstring(parts.lpszHostName, parts.dwHostNameLength),
                     .port = parts.nPort};
  if (parts.lpszUrlPath != nullptr) address.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) {
    address.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  }
  if (address.object.empty()) address.object = L"/";
  address.shown = Narrow(address.host) + " port " + std::to_string(address.port);
  return address;
}

// A failure no further try can mend: the certificate, a refused address.
bool PermanentFailure(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
    case ERROR_WINHTTP_INVALID_URL:
      return true;
    default:
      return false;
  }
}

std::string CertificateProblem(DWORD flags) {
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) {
    return "its certificate has expired or is not valid yet";
  }
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) {
    return "its certificate is for another name";
  }
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) {
    return "its certificate is not from an authority this system trusts";
  }
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) return "its certificate was revoked";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED) {
    return "whether its certificate was revoked cannot be checked";
  }
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT) return "its certificate is not valid";
  return "the secure connection could not be set up";
}

// One line for a WinHTTP failure, naming the server, or the proxy when one
// is named (`proxy`) and the failure is reaching it; `secure_flags` are the
// details of a failed TLS check.
std::string NetworkFailure(DWORD error, const WebAddress& address, DWORD secure_flags,
                           const std::string& proxy = {}) {
  const std::string code = " (WinHTTP error " + std::to_string(error) + ")";
  const std::string host = Narrow(address.host);
  if (!proxy.empty() &&
      (error == ERROR_WINHTTP_NAME_NOT_RESOLVED || error == ERROR_WINHTTP_CANNOT_CONNECT)) {
    return "cannot reach the proxy " + proxy + code;
  }
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "cannot find the server \"" + host + "\"" + code;
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "cannot connect to " + address.shown + code;
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "the connection to " + address.shown + " broke off" + code;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "the answer of " + address.shown + " is not HTTP" + code;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return "the secure connection to \"" + host +
             "\" failed: " + CertificateProblem(secure_flags) + code;
    default:
      return "the transfer from " + address.shown + " failed" + code;
  }
}

// ------------------------------------------------------------ requests

// A completion WinHTTP reported for the pending call.
struct Completion {
  DWORD notice = 0;  // WINHTTP_CALLBACK_STATUS_*
  DWORD count = 0;   // bytes available or read
  DWORD error = 0;   // with WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
};

// What one request shares with WinHTTP's threads. The callback holds it
// through a heap copy of a shared_ptr (the request's context value) until
// the handle closes.
struct Exchange {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Completion> completion;                              // guarded by mutex
  DWORD secure_flags = 0;                                            // guarded by mutex
  std::vector<char> buffer = std::vector<char>(kReceiveBufferSize);  // where reads land

  std::optional<Completion> WaitUntil(Clock::time_point deadline) {
    std::unique_lock lock(mutex);
    changed.wait_until(lock, deadline, [this] { return completion.has_value(); });
    std::optional<Completion> done = std::move(completion);
    completion.reset();
    return done;
  }
  DWORD SecureFlags() {
    std::lock_guard lock(mutex);
    return secure_flags;
  }
};

void CALLBACK OnNotice(HINTERNET, DWORD_PTR context, DWORD notice, LPVOID info, DWORD length) {
  if (context == 0) return;  // the session's or a connection's own notices
  auto* keeper = reinterpret_cast<std::shared_ptr<Exchange>*>(context);
  if (notice == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    delete keeper;  // the request's last notice
    return;
  }
  Exchange& exchange = **keeper;
  Completion done{.notice = notice};
  switch (notice) {
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE: {
      std::lock_guard lock(exchange.mutex);
      exchange.secure_flags = *static_cast<DWORD*>(info);
      return;
    }
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      done.count = *static_cast<DWORD*>(info);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      done.count = length;
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      done.error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      break;
    default:
      return;
  }
  {
    std::lock_guard lock(exchange.mutex);
    exchange.completion = done;
  }
  exchange.changed.notify_one();
}

// Closes a WinHTTP handle at the end of its scope.
struct HandleCloser {
  void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using WinHttpHandle = std::unique_ptr<void, HandleCloser>;

// One GET request; closing it cancels whatever is pending.
class Request {
 public:
  Request(HINTERNET connection, const WebAddress& address)
      : handle_(WinHttpOpenRequest(
            connection, L"GET", address.object.c_str(), nullptr, WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES,
            WINHTTP_FLAG_ESCAPE_DISABLE | (address.secure ? WINHTTP_FLAG_SECURE : 0))) {
    if (!handle_) return;
    auto* keeper = new std::shared_ptr<Exchange>(exchange_);
    context_ = reinterpret_cast<DWORD_PTR>(keeper);
    if (!WinHttpSetOption(handle_.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context_,
                          sizeof context_)) {
      delete keeper;  // the handle will not carry it to the callback
      context_ = 0;
    }
  }

  HINTERNET get() const { return handle_.get(); }
  DWORD_PTR context() const { return context_; }
  Exchange& exchange() const { return *exchange_; }

  std::string Header(DWORD query) const {
    DWORD size = 0;
    WinHttpQueryHeaders(get(), query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(get(), query, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      return {};
    }
    value.resize(size / sizeof(wchar_t));
    return Narrow(value);
  }

  long Status() const {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      return 0;
    }
    return static_cast<long>(status);
  }

  // The body's length as announced; nullopt without a usable one.
  std::optional<uint64_t> ContentLength() const {
    const std::string text(Trimmed(Header(WINHTTP_QUERY_CONTENT_LENGTH)));
    if (text.empty() || text.size() > 19 || !std::all_of(text.begin(), text.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
      return std::nullopt;
    }
    return std::stoull(text);
  }

 private:
  WinHttpHandle handle_;
  std::shared_ptr<Exchange> exchange_ = std::make_shared<Exchange>();
  DWORD_PTR context_ = 0;
};

// ------------------------------------------------------------ pacing

// Waits for the pending call's completion while keeping the callback
// informed every kReportIntervalMs, and stops the transfer when the
// callback asks to or when nothing has come for the stall timeout.
class Pacer {
 public:
  Pacer(Body& body, std::chrono::seconds stall_timeout)
      : body_(body), stall_timeout_(stall_timeout) {}

  // The completion, or nullopt when the transfer must stop: the body is
  // then `aborted`, or Stalled() tells.
  std::optional<Completion> Await(Exchange& exchange) {
    for (;;) {
      const Clock::time_point next_report = last_report_ + kInterval;
      if (std::optional<Completion> done = exchange.WaitUntil(next_report)) {
        last_activity_ = Clock::now();
        if (Clock::now() >= next_report && !Report()) return std::nullopt;
        return done;
      }
      if (!Report()) return std::nullopt;
      if (Clock::now() - last_activity_ >= stall_timeout_) {
        stalled_ = true;
        return std::nullopt;
      }
    }
  }

  // Hands the body's count to the callback; false once it asks to stop.
  bool Report() {
    last_report_ = Clock::now();
    return ReportProgress(body_, body_.received, announced_);
  }

  void SetAnnounced(uint64_t announced) { announced_ = announced; }
  bool Stalled() const { return stalled_; }

 private:
  static constexpr std::chrono::milliseconds kInterval{kReportIntervalMs};
  Body& body_;
  std::chrono::seconds stall_timeout_;
  uint64_t announced_ = 0;
  Clock::time_point last_report_ = Clock::now();
  Clock::time_point last_activity_ = Clock::now();
  bool stalled_ = false;
};

// ------------------------------------------------------------ transport

// Frees what WinHttpGetIEProxyConfigForCurrentUser hands over.
struct UserProxyConfig : WINHTTP_CURRENT_USER_IE_PROXY_CONFIG {
  UserProxyConfig() : WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{} {}
  ~UserProxyConfig() {
    for (LPWSTR text : {lpszAutoConfigUrl, lpszProxy, lpszProxyBypass}) {
      if (text != nullptr) GlobalFree(text);
    }
  }
  UserProxyConfig(const UserProxyConfig&) = delete;
  UserProxyConfig& operator=(const UserProxyConfig&) = delete;
};

// A WinHTTP session with the user's proxy. `proxy` names it when it is
// known here (the fallback's named proxy), for messages.
HINTERNET OpenSession(std::string& proxy) {
  const std::wstring agent = WireText(kUserAgent);
  if (HINTERNET session =
          WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                      WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC)) {
    return session;
  }
  // Before Windows 8.1 there is no automatic proxy: the Internet Options'.
  UserProxyConfig user;
  if (WinHttpGetIEProxyConfigForCurrentUser(&user) && user.lpszProxy != nullptr &&
      *user.lpszProxy != L'\0') {
    proxy = Narrow(user.lpszProxy);
    return WinHttpOpen(
        agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, user.lpszProxy,
        user.lpszProxyBypass != nullptr ? user.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS,
        WINHTTP_FLAG_ASYNC);
  }
  return WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
}

}  // namespace
}  // namespace brenvik::download

namespace brenvik {

// The hub's side on Windows: the WinHTTP session its services share.
struct ConnectionHub::Loop {
  explicit Loop(int connections) {
    session.reset(download::OpenSession(proxy));
    if (!session) {
      unready = "cannot start WinHTTP (error " + std::to_string(GetLastError()) + ")";
      return;
    }
    if (WinHttpSetStatusCallback(session.get(), download::OnNotice, download::kNotices, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
      unready = "cannot follow WinHTTP's transfers (error " + std::to_string(GetLastError()) + ")";
      return;
    }
    // HTTP/2 over TLS where this Windows offers it (10, version 1607 on);
    // elsewhere the option is refused and HTTP/1.1 stays.
    DWORD protocols = WINHTTP_PROTOCOL_FLAG_HTTP2;
    (void)WinHttpSetOption(session.get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &protocols,
                           sizeof protocols);
    DWORD most = static_cast<DWORD>(connections);
    (void)WinHttpSetOption(session.get(), WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &most, sizeof most);
    (void)WinHttpSetOption(session.get(), WINHTTP_OPTION_MAX_CONNS_PER_1_0_SERVER, &most,
                           sizeof most);
  }

  download::WinHttpHandle session;  // closed after every service made with the hub
  std::string unready;
  std::string proxy;  // the user's named proxy, when known; for messages
  std::atomic<bool> multiplexing{false};
};

}  // namespace brenvik

namespace brenvik::download {
namespace {

class WinHttpTransport final : public Transport {
 public:
  explicit WinHttpTransport(ConnectionHub::Loop& hub)
      : hub_(hub), session_(hub.session.get()), unready_(hub.unready), proxy_(hub.proxy) {}

  std::string Unready() const override { return unready_; }

  TransportEnd Fetch(const std::string& wire_url, Body& body,
                     std::chrono::seconds stall_timeout) override;

 private:
  HINTERNET ConnectTo(const WebAddress& address);
  TransportEnd Ask(const WebAddress& address, Request& request, const Body& body, Pacer& pacer,
                   std::chrono::seconds stall_timeout);
  TransportEnd Stopped(const Pacer& pacer, long status) const;
  TransportEnd Failure(DWORD error, const WebAddress& address, const Request& request,
                       long status) const;
  TransportEnd ReadBody(const WebAddress& address, Request& request, Body& body, Pacer& pacer);

  ConnectionHub::Loop& hub_;
  HINTERNET session_;  // the hub's
  std::string unready_;
  std::string proxy_;         // the user's named proxy, when known; for messages
  WinHttpHandle connection_;  // to connected_host_, connected_port_
  std::wstring connected_host_;
  INTERNET_PORT connected_port_ = 0;
  std::vector<char> file_buffer_;  // for file URLs
};

HINTERNET WinHttpTransport::ConnectTo(const WebAddress& address) {
  if (!connection_ || connected_host_ != address.host || connected_port_ != address.port) {
    connection_.reset(WinHttpConnect(session_, address.host.c_str(), address.port, 0));
    connected_host_ = address.host;
    connected_port_ = address.port;
  }
  return connection_.get();
}

TransportEnd WinHttpTransport::Stopped(const Pacer& pacer, long status) const {
  return Ended(pacer.Stalled() ? TransportEnd::Kind::kStalled : TransportEnd::Kind::kFailed,
               status);
}

TransportEnd WinHttpTransport::Failure(DWORD error, const WebAddress& address,
                                       const Request& request, long status) const {
  if (error == ERROR_WINHTTP_TIMEOUT) return Ended(TransportEnd::Kind::kStalled, status);
  TransportEnd failed =
      Ended(TransportEnd::Kind::kFailed, status,
            NetworkFailure(error, address, request.exchange().SecureFlags(), proxy_));
  failed.permanent = PermanentFailure(error);
  return failed;
}

// Sends the request, asking for the rest of the partial file when there is
// one to continue, and waits for the response's headers.
TransportEnd WinHttpTransport::Ask(const WebAddress& address, Request& request, const Body& body,
                                   Pacer& pacer, std::chrono::seconds stall_timeout) {
  if (request.get() == nullptr) return Failure(GetLastError(), address, request, 0);
  DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
  // Should this fail, WinHTTP follows redirects itself: to http and https
  // alone too, only without the count kept here.
  (void)WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
  // WinHTTP's own time-outs only back up the stall count kept here.
  const int limit = static_cast<int>(std::min<int64_t>(stall_timeout.count() + 5, 86'400) * 1000);
  (void)WinHttpSetTimeouts(request.get(), limit, limit, limit, limit);
  std::wstring extra;
  if (const std::string range = RangeHeaderValue(body); !range.empty()) {
    extra = L"Range: " + WireText(range) + L"\r\nIf-Range: " + WireText(body.validator);
  }
  if (body.target->past_caches) {
    // Pragma for the caches that know only HTTP/1.0.
    extra += std::wstring(extra.empty() ? L"" : L"\r\n") +
             L"Cache-Control: no-cache\r\nPragma: no-cache";
  }
  if (!extra.empty() &&
      !WinHttpAddRequestHeaders(request.get(), extra.c_str(), static_cast<DWORD>(extra.size()),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
    return Failure(GetLastError(), address, request, 0);
  }
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                          0, 0, request.context())) {
    return Failure(GetLastError(), address, request, 0);
  }
  for (const DWORD expected : {DWORD{WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE},
                               DWORD{WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE}}) {
    const std::optional<Completion> done = pacer.Await(request.exchange());
    if (!done) return Stopped(pacer, 0);
    if (done->notice != expected) return Failure(done->error, address, request, 0);
    if (expected == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE &&
        !WinHttpReceiveResponse(request.get(), nullptr)) {
      return Failure(GetLastError(), address, request, 0);
    }
  }
  return Ended(TransportEnd::Kind::kComplete, request.Status());
}

// Reads the final response's body into `body`: one call asks what is
// there, the next reads it, so no read ever waits for more than has come.
TransportEnd WinHttpTransport::ReadBody(const WebAddress& address, Request& request, Body& body,
                                        Pacer& pacer) {
  const long status = request.Status();
  const ResponseHeaders headers{.etag = request.Header(WINHTTP_QUERY_ETAG),
                                .last_modified = request.Header(WINHTTP_QUERY_LAST_MODIFIED),
                                .content_range = request.Header(WINHTTP_QUERY_CONTENT_RANGE),
                                .content_encoding = request.Header(WINHTTP_QUERY_CONTENT_ENCODING),
                                .accept_ranges = request.Header(WINHTTP_QUERY_ACCEPT_RANGES)};
  const std::optional<uint64_t> announced = request.ContentLength();
  pacer.SetAnnounced(announced.value_or(0));
  if (!StartBody(body, status, headers) || !BodyFits(body, 0, announced)) {
    return Ended(TransportEnd::Kind::kFailed, status);
  }
  Exchange& exchange = request.exchange();
  for (;;) {
    if (!WinHttpQueryDataAvailable(request.get(), nullptr)) {
      return Failure(GetLastError(), address, request, status);
    }
    std::optional<Completion> done = pacer.Await(exchange);
    if (!done) return Stopped(pacer, status);
    if (done->notice != WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE) {
      return Failure(done->error, address, request, status);
    }
    if (done->count == 0) break;
    const DWORD wanted = std::min<DWORD>(done->count, exchange.buffer.size());
    if (!WinHttpReadData(request.get(), exchange.buffer.data(), wanted, nullptr)) {
      return Failure(GetLastError(), address, request, status);
    }
    done = pacer.Await(exchange);
    if (!done) return Stopped(pacer, status);
    if (done->notice != WINHTTP_CALLBACK_STATUS_READ_COMPLETE) {
      return Failure(done->error, address, request, status);
    }
    if (done->count == 0) break;
    if (!TakeBody(body, exchange.buffer.data(), done->count, announced) || !pacer.Report()) {
      return Ended(TransportEnd::Kind::kFailed, status);
    }
  }
  if (announced && body.received != *announced) {
    return Ended(TransportEnd::Kind::kFailed, status,
                 "the connection to " + address.shown + " closed after " +
                     std::to_string(body.received) + " of " + std::to_string(*announced) +
                     " bytes");
  }
  return Ended(TransportEnd::Kind::kComplete, status);
}

TransportEnd WinHttpTransport::Fetch(const std::string& wire_url, Body& body,
                                     std::chrono::seconds stall_timeout) {
  if (SchemeOf(wire_url) == "file") {
    file_buffer_.resize(kFileChunkSize);
    return FetchFile(wire_url, body, file_buffer_);
  }
  Pacer pacer(body, stall_timeout);
  std::string url = wire_url;
  for (int redirects = 0;; ++redirects) {
    const std::optional<WebAddress> address = Crack(url);
    if (!address) {
      return Ended(TransportEnd::Kind::kFailed, 0, "not an http or https address: \"" + url + "\"");
    }
    const HINTERNET connection = ConnectTo(*address);
    if (connection == nullptr) {
      return Ended(TransportEnd::Kind::kFailed, 0,
                   NetworkFailure(GetLastError(), *address, 0, proxy_));
    }
    Request request(connection, *address);
    const TransportEnd asked = Ask(*address, request, body, pacer, stall_timeout);
    if (asked.kind != TransportEnd::Kind::kComplete) return asked;
    // An answer over HTTP/2: the hub's connection to it can carry many
    // downloads at once.
    DWORD used = 0;
    DWORD used_size = sizeof used;
    if (WinHttpQueryOption(request.get(), WINHTTP_OPTION_HTTP_PROTOCOL_USED, &used, &used_size) &&
        (used & WINHTTP_PROTOCOL_FLAG_HTTP2) != 0) {
      hub_.multiplexing.store(true);
    }
    const long status = asked.status;
    const std::string location = request.Header(WINHTTP_QUERY_LOCATION);
    const bool redirect =
        status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    if (redirect && !Trimmed(location).empty()) {
      const std::string next = ResolveLocation(url, location);
      std::string refusal = RedirectRefusal(url, next);
      if (refusal.empty() && redirects == kMaxRedirects) {
        refusal = "more than " + std::to_string(kMaxRedirects) + " redirects";
      }
      if (!refusal.empty()) {
        TransportEnd refused = Ended(TransportEnd::Kind::kFailed, status, std::move(refusal));
        refused.permanent = true;
        return refused;
      }
      url = next;
      continue;
    }
    if (status == 407) {
      return Ended(TransportEnd::Kind::kFailed, status,
                   "the proxy" + (proxy_.empty() ? "" : " " + proxy_) +
                       " asks for a login (HTTP status 407)");
    }
    if (status >= 400) {
      TransportEnd failed = Ended(TransportEnd::Kind::kHttpError, status);
      failed.retry_after = RetryAfterOf(status, request.Header(WINHTTP_QUERY_RETRY_AFTER),
                                        std::chrono::system_clock::now());
      return failed;
    }
    return ReadBody(*address, request, body, pacer);
  }
}

}  // namespace

std::unique_ptr<Transport> MakeTransport(ConnectionHub& hub) {
  return std::make_unique<WinHttpTransport>(hub.loop());
}

}  // namespace brenvik::download

namespace brenvik {

ConnectionHub::ConnectionHub(int connections)
    : connections_(std::max(connections, 1)), loop_(std::make_unique<Loop>(connections_)) {}

ConnectionHub::~ConnectionHub() = default;

int ConnectionHub::MostTransfers() const {
  return std::max(connections_, download::kMostMultiplexed);
}

bool ConnectionHub::Multiplexing() const { return loop_->multiplexing.load(); }

}  // namespace brenvik
