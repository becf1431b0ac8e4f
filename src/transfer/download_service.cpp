#include "transfer/download_service.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

#include "transfer/transfer_callback.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUserAgent = "Brenvik/" BRENVIK_VERSION;
constexpr long kMaxRedirects = 10;

void InitCurlOnce() {
  // libcurl's global set-up is not thread-safe; the face and the download
  // worker may each build a service, so the first one does it for all.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlCleanup {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// What the libcurl callbacks of one transfer share with Download.
constexpr size_t kWriteBufferSize = 1 << 20;
constexpr long kReceiveBufferSize = 256 * 1024;

struct Transfer {
  std::FILE* file = nullptr;
  TransferCallback* callback = nullptr;
  uint64_t reported_now = UINT64_MAX;  // the last counts handed to the callback
  uint64_t reported_total = UINT64_MAX;
  int write_errno = 0;
  bool aborted = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (std::fwrite(data, 1, bytes, transfer->file) != bytes) {
    transfer->write_errno = errno != 0 ? errno : EIO;
    return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
  }
  return bytes;
}

int ReportProgress(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t,
                   curl_off_t) {
  auto* transfer = static_cast<Transfer*>(user);
  const auto now = static_cast<uint64_t>(download_now > 0 ? download_now : 0);
  const auto total = static_cast<uint64_t>(download_total > 0 ? download_total : 0);
  // libcurl reports many times per chunk; a report that moved nothing only
  // needs the abort check (a stalled transfer must still stop on abort).
  const bool moved = now != transfer->reported_now || total != transfer->reported_total;
  transfer->reported_now = now;
  transfer->reported_total = total;
  const bool go_on = moved ? transfer->callback->OnProgress(now, total, BindStatus::kDownloadingData, {})
                           : !transfer->callback->AbortRequested();
  if (!go_on) {
    transfer->aborted = true;
    return 1;  // makes libcurl stop with CURLE_ABORTED_BY_CALLBACK
  }
  return 0;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Marks the span of one transfer on the callback, on every way out.
class TransferSpan {
 public:
  explicit TransferSpan(TransferCallback& callback) : callback_(callback) {
    callback_.TransferStarted();
  }
  ~TransferSpan() { callback_.TransferEnded(); }
  TransferSpan(const TransferSpan&) = delete;
  TransferSpan& operator=(const TransferSpan&) = delete;

 private:
  TransferCallback& callback_;
};

}  // namespace

struct DownloadService::Handle {
  std::unique_ptr<CURL, CurlCleanup> curl;
};

DownloadService::DownloadService() : handle_(std::make_unique<Handle>()) {
  InitCurlOnce();
  handle_->curl.reset(curl_easy_init());
}

DownloadService::~DownloadService() = default;

std::string DownloadService::EncodeForWire(const std::string& url) {
  // Only the path is touched: scheme and authority stay as written. A
  // catalogue name may hold '#' or '?', so both are encoded in the path too;
  // a URL here therefore never carries a query or a fragment. A '%' that
  // already starts an escape is kept, so an encoded URL passes unchanged.
  size_t path_start = 0;
  const size_t scheme_end = url.find("://");
  if (scheme_end != std::string::npos && url.find('/') > scheme_end) {
    path_start = url.find_first_of("/\\", scheme_end + 3);
    if (path_start == std::string::npos) return url;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string wire = url.substr(0, path_start);
  wire.reserve(url.size());
  for (size_t i = path_start; i < url.size(); ++i) {
    const char c = url[i];
    const auto byte = static_cast<unsigned char>(c);
    const bool escape_start =
        c == '%' && i + 2 < url.size() && IsHexDigit(url[i + 1]) && IsHexDigit(url[i + 2]);
    if (c == '\\') {
      wire += '/';
    } else if (byte <= 0x20 || byte >= 0x7F || std::strchr("\"<>^`{|}#?[]", c) != nullptr ||
               (c == '%' && !escape_start)) {
      wire += '%';
      wire += kHex[byte >> 4];
      wire += kHex[byte & 0x0F];
    } else {
      wire += c;
    }
  }
  return wire;
}

int DownloadService::Download(const std::string& url, const fs::path& local_path,
                              TransferCallback& callback) {
  last_error_.clear();
  TransferSpan span(callback);
  CURL* curl = handle_->curl.get();
  if (curl == nullptr) {
    last_error_ = "cannot create a transfer handle";
    return CURLE_FAILED_INIT;
  }

  // The body goes to "<local path>.part" first. Reporting that name as the
  // cache file lets the caller delete it after a failed attempt, and the
  // final name only ever holds a complete body.
  fs::path part_path = local_path;
  part_path += ".part";
  if (!callback.OnProgress(0, 0, BindStatus::kCacheFileNameAvailable, part_path.string())) {
    last_error_ = "aborted";
    return CURLE_ABORTED_BY_CALLBACK;
  }

  std::error_code error;
  if (local_path.has_parent_path()) fs::create_directories(local_path.parent_path(), error);
  if (error) {
    last_error_ = "cannot create the folder of \"" + local_path.string() + "\": " + error.message();
    return CURLE_WRITE_ERROR;
  }
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(part_path.c_str(), "wb"));
  if (!file) {
    last_error_ = "cannot create \"" + part_path.string() + "\": " + std::strerror(errno);
    return CURLE_WRITE_ERROR;
  }

  // Whole-buffer writes: one system call per megabyte instead of two per
  // network chunk.
  static thread_local std::unique_ptr<char[]> write_buffer =
      std::make_unique_for_overwrite<char[]>(kWriteBufferSize);
  std::setvbuf(file.get(), write_buffer.get(), _IOFBF, kWriteBufferSize);

  Transfer transfer;
  transfer.file = file.get();
  transfer.callback = &callback;
  char curl_error[CURL_ERROR_SIZE] = {};
  const std::string wire_url = EncodeForWire(url);
  const long stall_seconds = static_cast<long>(stall_timeout_.count());

  // A reset drops the previous transfer's options but keeps the handle's
  // open connections, so the next file reuses them.
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, wire_url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,file");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, stall_seconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_seconds);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ReportProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);

  const CURLcode result = curl_easy_perform(curl);
  // The error buffer lives on this stack frame; the handle outlives it.
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

  // Buffered bytes reach the disk only now, so a full disk may show here.
  if (transfer.write_errno == 0 && std::fflush(file.get()) != 0) transfer.write_errno = errno;
  if (std::fclose(file.release()) != 0 && transfer.write_errno == 0) transfer.write_errno = errno;

  if (transfer.write_errno != 0) {
    last_error_ =
        "cannot write \"" + part_path.string() + "\": " + std::strerror(transfer.write_errno);
    return CURLE_WRITE_ERROR;
  }
  if (result != CURLE_OK) {
    if (transfer.aborted) {
      last_error_ = "aborted";
    } else if (result == CURLE_HTTP_RETURNED_ERROR) {
      long status = 0;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
      last_error_ = "HTTP status " + std::to_string(status);
    } else if (result == CURLE_OPERATION_TIMEDOUT) {
      last_error_ = "no data for " + std::to_string(stall_seconds) + " s";
    } else {
      last_error_ = curl_error[0] != '\0' ? curl_error : curl_easy_strerror(result);
    }
    return result;
  }

  fs::rename(part_path, local_path, error);
  if (error) {
    last_error_ = "cannot rename \"" + part_path.string() + "\" to \"" + local_path.string() +
                  "\": " + error.message();
    return CURLE_WRITE_ERROR;
  }

  // A last report with the full count, so the byte counter ends at the file's
  // size. The file is complete, so an abort arriving now changes nothing.
  curl_off_t received = 0;
  curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &received);
  const auto size = static_cast<uint64_t>(received > 0 ? received : 0);
  (void)callback.OnProgress(size, size, BindStatus::kEndDownloadData, {});
  return kDownloadOk;
}

}  // namespace brenvik
