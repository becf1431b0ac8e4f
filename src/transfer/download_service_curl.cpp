// The download transport on libcurl: http, https and file URLs.

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "transfer/download_transport.h"
#include "transfer/proxy_setting.h"
#include "transfer/transfer_callback.h"
#include "transfer/url_text.h"

namespace brenvik::download {

namespace {

constexpr long kReceiveBufferSize = 256 * 1024;

void InitCurlOnce() {
  // libcurl's global set-up is not thread-safe; the face and the download
  // worker may each build a service, so the first one does it for all.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlCleanup {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// What the libcurl callbacks of one transfer share with Fetch.
struct CurlTransfer {
  CURL* curl = nullptr;
  Body* body = nullptr;
  uint64_t reports = 0;  // progress reports libcurl made so far
  // The current response's headers that resuming and retrying need.
  ResponseHeaders headers;
  std::string retry_after;
  std::string location;
  std::string proxy;  // the proxy this transfer goes through; empty for none
};

// The body's length as the server announced it, asked before the first
// byte is taken; nullopt later or when none was announced.
std::optional<uint64_t> AnnouncedLength(const CurlTransfer& transfer) {
  curl_off_t announced = -1;
  if (transfer.body->received != 0 ||
      curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) !=
          CURLE_OK ||
      announced < 0) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(announced);
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<CurlTransfer*>(user);
  const size_t bytes = size * count;
  // Returning less than `bytes` makes libcurl stop with CURLE_WRITE_ERROR.
  return TakeBody(*transfer->body, data, bytes, AnnouncedLength(*transfer)) ? bytes : 0;
}

int ReportToCallback(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t,
                     curl_off_t) {
  auto* transfer = static_cast<CurlTransfer*>(user);
  ++transfer->reports;
  const auto count = [](curl_off_t bytes) {
    return static_cast<uint64_t>(std::max<curl_off_t>(bytes, 0));
  };
  // Non-zero makes libcurl stop with CURLE_ABORTED_BY_CALLBACK.
  return ReportProgress(*transfer->body, count(download_now), count(download_total)) ? 0 : 1;
}

// False (and the body's refusal set) when the response redirects to an
// address that must not be followed. Checked here, before libcurl follows
// it, so the refusal names the address and no request goes there.
bool RedirectAllowed(CurlTransfer& transfer, long status) {
  const bool redirect =
      status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  if (!redirect || Trimmed(transfer.location).empty()) return true;
  const char* effective = nullptr;
  curl_easy_getinfo(transfer.curl, CURLINFO_EFFECTIVE_URL, &effective);
  const std::string from = effective != nullptr ? effective : "";
  transfer.body->refusal = RedirectRefusal(from, ResolveLocation(from, transfer.location));
  return transfer.body->refusal.empty();
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
    const bool body_follows = status == 200 || status == 206;
    return !body_follows || StartBody(*transfer->body, status, transfer->headers) ? bytes : 0;
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
  return bytes;
}

void Configure(CURL* curl, const std::string& wire_url, long stall_seconds, CurlTransfer& transfer,
               char* error_buffer) {
  // A reset drops the previous transfer's options; the open connections
  // live in the multi handle's cache, so the next file reuses them.
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, wire_url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,file");
  // Never from https down to http; the header callback refuses that first
  // and says so, this only backs it up.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR,
                   SchemeOf(wire_url) == "https" ? "https" : "http,https");
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
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ReportToCallback);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
}

// True once the transfer has ended; `code` is then its result.
bool TransferDone(CURLM* multi, CURLcode& code) {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE) {
      code = message->data.result;
      return true;
    }
  }
  return false;
}

// Drives the transfer in short polls, so the callback hears from it at
// least every kReportIntervalMs even while the server says nothing (libcurl
// alone reports an idle transfer only about once a second).
CURLcode RunTransfer(CURLM* multi, CURL* curl, CurlTransfer& transfer) {
  if (curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode code = CURLE_OK;
  for (;;) {
    const uint64_t reports_before = transfer.reports;
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
    if (TransferDone(multi, code)) break;
    if (running == 0) {
      code = CURLE_GOT_NOTHING;  // ended without a result: never taken for success
      break;
    }
    if (transfer.reports == reports_before && !ReportIdle(*transfer.body)) {
      code = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    if (curl_multi_poll(multi, nullptr, 0, kReportIntervalMs, nullptr) != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
  }
  // Removing a finished transfer keeps its connection in the multi
  // handle's cache; removing one cut short closes it.
  curl_multi_remove_handle(multi, curl);
  return code;
}

// Runs the configured transfer; with partial data to continue, it asks for
// the rest, valid only while the file is the one that data came from
// (otherwise the server sends the whole file).
CURLcode RunRangedTransfer(CURLM* multi, CurlTransfer& transfer) {
  CURL* curl = transfer.curl;
  const Body& body = *transfer.body;
  curl_slist* headers = nullptr;
  if (body.resume_from > 0) {
    curl_easy_setopt(curl, CURLOPT_RANGE, (std::to_string(body.resume_from) + "-").c_str());
    headers = curl_slist_append(headers, ("If-Range: " + body.validator).c_str());
  }
  if (body.target->past_caches) {
    // Pragma for the caches that know only HTTP/1.0.
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");
  }
  if (headers != nullptr) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  const CURLcode code = RunTransfer(multi, curl, transfer);
  // The error buffer and the header list live on the caller's stack; the
  // handle outlives them.
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
  return code;
}

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

class CurlTransport final : public Transport {
 public:
  CurlTransport() {
    InitCurlOnce();
    multi_.reset(curl_multi_init());
    curl_.reset(curl_easy_init());
  }

  std::string Unready() const override {
    return curl_ == nullptr || multi_ == nullptr ? "cannot create a transfer handle" : "";
  }

  TransportEnd Fetch(const std::string& wire_url, Body& body,
                     std::chrono::seconds stall_timeout) override {
    CurlTransfer transfer{.curl = curl_.get(), .body = &body};
    transfer.proxy = ProxyFor(wire_url, [](const char* name) { return std::getenv(name); });
    char curl_error[CURL_ERROR_SIZE] = {};
    Configure(transfer.curl, wire_url, static_cast<long>(stall_timeout.count()), transfer,
              curl_error);
    const CURLcode code = RunRangedTransfer(multi_.get(), transfer);
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

 private:
  // Declared first, destroyed last: the easy handle goes before its multi.
  std::unique_ptr<CURLM, MultiCleanup> multi_;
  std::unique_ptr<CURL, CurlCleanup> curl_;
};

}  // namespace

std::unique_ptr<Transport> MakeTransport() { return std::make_unique<CurlTransport>(); }

}  // namespace brenvik::download
