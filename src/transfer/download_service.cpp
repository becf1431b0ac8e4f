#include "transfer/download_service.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/contained_files.h"
#include "platform/paths.h"
#include "transfer/transfer_callback.h"

namespace brenvik {

namespace {

constexpr const char* kUserAgent = "Brenvik/" BRENVIK_VERSION;
constexpr long kMaxRedirects = 10;
// Whole-buffer writes: one system call per megabyte instead of one per
// network chunk.
constexpr size_t kWriteBufferSize = 1 << 20;
constexpr long kReceiveBufferSize = 256 * 1024;
// The longest a transfer waits for the network before the callback hears
// from it again.
constexpr int kReportIntervalMs = 50;
// The longest validator (ETag or Last-Modified) kept for resuming.
constexpr size_t kLongestValidator = 512;
// A body longer than this gets its validator written beside the partial
// file while it still flows, so that even a crash or a kill leaves a
// partial file that can be resumed. A shorter one is simply fetched again,
// and a complete download then creates no file but its own.
constexpr uint64_t kSaveValidatorAfter = 1 << 20;

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

// What the libcurl callbacks of one transfer share with Download.
struct Transfer {
  CURL* curl = nullptr;
  TransferCallback* callback = nullptr;
  int fd = -1;  // the partial file
  char* buffer = nullptr;
  size_t buffered = 0;
  uint64_t received = 0;  // body bytes accepted so far
  std::optional<uint64_t> expected_size;
  std::optional<uint64_t> size_limit;
  bool over_limit = false;             // the body is larger than size_limit
  uint64_t reported_now = UINT64_MAX;  // the last counts handed to the callback
  uint64_t reported_total = UINT64_MAX;
  uint64_t reports = 0;  // progress reports libcurl made so far
  int write_errno = 0;
  std::string size_failure;  // why the body cannot have the expected size
  bool aborted = false;
  // Resuming: the partial file's size when the attempt asked for the rest,
  // and the bytes the body continues (set once a 206 with that start came).
  uint64_t resume_from = 0;
  uint64_t offset = 0;
  // The validator of the partial file's data, kept in memory; empty when
  // the data cannot be resumed. The file beside the partial one holds it
  // only when `validator_saved`.
  std::string validator;
  bool validator_saved = false;
  bool saved_for_large_body = false;  // the save at kSaveValidatorAfter bytes was tried
  // The current response's headers that resuming needs.
  std::string etag;
  std::string last_modified;
  std::string content_range;
  const ContainedFolder* folder = nullptr;
  const DownloadTarget* target = nullptr;
  ContainedFile* partial = nullptr;
};

std::string SizeFailure(const char* what, uint64_t count, uint64_t expected) {
  return "the server " + std::string(what) + " " + std::to_string(count) +
         " bytes where the catalogue says " + std::to_string(expected);
}

std::string WriteFailure(const std::string& shown, int number) {
  const std::string cause =
      number == ENOSPC ? "the disk is full" : std::generic_category().message(number);
  return "cannot write \"" + shown + "\": " + cause;
}

// Writes all of `data` to `fd`; 0, or the errno of the failure.
int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

bool WriteOut(Transfer& transfer, const char* data, size_t size) {
  transfer.write_errno = WriteAll(transfer.fd, data, size);
  return transfer.write_errno == 0;
}

bool FlushBuffer(Transfer& transfer) {
  const size_t size = transfer.buffered;
  transfer.buffered = 0;
  return WriteOut(transfer, transfer.buffer, size);
}

// The body's length as the server announced it, asked before the first
// byte is taken; nullopt later or when none was announced.
std::optional<uint64_t> AnnouncedLength(const Transfer& transfer) {
  curl_off_t announced = -1;
  if (transfer.received != 0 ||
      curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) !=
          CURLE_OK ||
      announced < 0) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(announced);
}

// False once the body can no longer end with the expected size: an
// announced length that differs, or more bytes than expected. Checked
// before anything is written, so the partial file never grows beyond it.
bool BodyFitsExpectedSize(Transfer& transfer, size_t bytes) {
  if (!transfer.expected_size) return true;
  const uint64_t expected = *transfer.expected_size;
  if (const std::optional<uint64_t> announced = AnnouncedLength(transfer);
      announced && *announced + transfer.offset != expected) {
    transfer.size_failure = SizeFailure("announced", *announced + transfer.offset, expected);
    return false;
  }
  if (transfer.offset + transfer.received > expected ||
      bytes > expected - transfer.offset - transfer.received) {
    transfer.size_failure =
        SizeFailure("sent at least", transfer.offset + transfer.received + bytes, expected);
    return false;
  }
  return true;
}

// False once the body is known to be larger than the size limit, announced
// or sent; checked before anything is written.
bool BodyWithinLimit(Transfer& transfer, size_t bytes) {
  if (!transfer.size_limit) return true;
  const uint64_t limit = *transfer.size_limit;
  const std::optional<uint64_t> announced = AnnouncedLength(transfer);
  const uint64_t have = transfer.offset + transfer.received;
  transfer.over_limit =
      (announced && *announced + transfer.offset > limit) || have > limit || bytes > limit - have;
  if (transfer.over_limit) {
    transfer.size_failure = "the server sent more than " + std::to_string(limit) +
                            " bytes, the most this file may have";
  }
  return !transfer.over_limit;
}

// A validator fit to send back in If-Range: one line of printable text.
bool UsableValidator(std::string_view value) {
  if (value.empty() || value.size() > kLongestValidator) return false;
  return std::all_of(value.begin(), value.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F; });
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// Writes the validator beside the partial file, replacing whatever held
// its name; true when it is in place.
bool SaveValidator(Transfer& transfer) {
  const std::string name = ValidatorNameOf(transfer.target->partial_name);
  ContainedFile file = transfer.folder->CreateFreshFile(name);
  if (!file.Ok()) return false;
  if (WriteAll(file.get(), transfer.validator.data(), transfer.validator.size()) != 0) {
    file.Close();
    (void)transfer.folder->Remove(name);
    return false;
  }
  transfer.validator_saved = true;
  return true;
}

// Removes the validator file when this transfer knows it is there.
void DropValidator(Transfer& transfer) {
  if (!transfer.validator_saved) return;
  (void)transfer.folder->Remove(ValidatorNameOf(transfer.target->partial_name));
  transfer.validator_saved = false;
}

// The validator kept beside the partial file; empty when there is none fit
// to use.
std::string LoadValidator(const ContainedFolder& folder, const DownloadTarget& target) {
  ContainedFile file = folder.OpenForReading(ValidatorNameOf(target.partial_name));
  if (!file.Ok()) return {};
  char text[kLongestValidator + 1];
  const ssize_t got = ::read(file.get(), text, sizeof text);
  if (got <= 0) return {};
  const std::string_view value(text, static_cast<size_t>(got));
  return UsableValidator(value) ? std::string(value) : std::string();
}

// Once a body grows past kSaveValidatorAfter bytes its validator goes beside
// the partial file (tried once), so a crash or a kill leaves data that can
// be resumed.
void SaveValidatorOfLargeBody(Transfer& transfer) {
  if (transfer.saved_for_large_body || transfer.validator_saved || transfer.validator.empty() ||
      transfer.offset + transfer.received <= kSaveValidatorAfter) {
    return;
  }
  transfer.saved_for_large_body = true;
  (void)SaveValidator(transfer);
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  // Returning less than `bytes` makes libcurl stop with CURLE_WRITE_ERROR.
  if (!BodyFitsExpectedSize(*transfer, bytes) || !BodyWithinLimit(*transfer, bytes)) return 0;
  if (transfer->buffered + bytes > kWriteBufferSize && !FlushBuffer(*transfer)) return 0;
  if (bytes >= kWriteBufferSize) {
    if (!WriteOut(*transfer, data, bytes)) return 0;
  } else {
    std::memcpy(transfer->buffer + transfer->buffered, data, bytes);
    transfer->buffered += bytes;
  }
  transfer->received += bytes;
  transfer->callback->CountReceived(bytes);  // what the run's rate is made of
  SaveValidatorOfLargeBody(*transfer);
  return bytes;
}

int ReportProgress(void* user, curl_off_t download_total, curl_off_t download_now, curl_off_t,
                   curl_off_t) {
  auto* transfer = static_cast<Transfer*>(user);
  ++transfer->reports;
  // The whole file's bytes: a resumed body continues the partial file.
  const uint64_t now =
      transfer->offset + static_cast<uint64_t>(download_now > 0 ? download_now : 0);
  const uint64_t announced =
      download_total > 0 ? transfer->offset + static_cast<uint64_t>(download_total) : 0;
  const uint64_t total = transfer->expected_size.value_or(announced);
  // libcurl reports many times per chunk; a report that moved nothing still
  // keeps the face alive and checks the abort flag.
  const bool moved = now != transfer->reported_now || total != transfer->reported_total;
  transfer->reported_now = now;
  transfer->reported_total = total;
  const bool go_on =
      moved ? transfer->callback->OnProgress(now, total) : transfer->callback->KeepAlive();
  if (!go_on) {
    transfer->aborted = true;
    return 1;  // makes libcurl stop with CURLE_ABORTED_BY_CALLBACK
  }
  return 0;
}

// The response's headers are complete. A 200 starts the partial file over
// (when it held data, whose validator goes with it) and takes the new
// validator; a 206 must continue the partial file exactly where it ends.
// False stops the transfer.
bool StartBody(Transfer& transfer) {
  long status = 0;
  curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
  if (status == 206) {
    const std::string expected = "bytes " + std::to_string(transfer.resume_from) + "-";
    if (transfer.resume_from == 0 || transfer.content_range.rfind(expected, 0) != 0) {
      transfer.size_failure = "the server sent a part of the file that does not fit";
      return false;
    }
    transfer.offset = transfer.resume_from;
    return true;
  }
  if (status != 200) return true;  // a redirect, a failure, or a file URL
  if (transfer.resume_from > 0) {
    DropValidator(transfer);
    transfer.partial->Close();
    *transfer.partial = transfer.folder->CreateFreshFile(transfer.target->partial_name);
    if (!transfer.partial->Ok()) {
      transfer.write_errno = transfer.partial->Error().number;
      return false;
    }
    transfer.fd = transfer.partial->get();
    transfer.resume_from = 0;
  }
  const std::string& validator = transfer.etag.empty() ? transfer.last_modified : transfer.etag;
  transfer.validator = UsableValidator(validator) ? validator : std::string();
  return true;
}

size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  const std::string_view line(data, bytes);
  if (line.starts_with("HTTP/")) {
    // A new response (after a redirect, say): forget the previous one's headers.
    transfer->etag.clear();
    transfer->last_modified.clear();
    transfer->content_range.clear();
    return bytes;
  }
  if (Trimmed(line).empty()) return StartBody(*transfer) ? bytes : 0;
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return bytes;
  std::string name(line.substr(0, colon));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string value(Trimmed(line.substr(colon + 1)));
  if (name == "etag") transfer->etag = value;
  if (name == "last-modified") transfer->last_modified = value;
  if (name == "content-range") transfer->content_range = value;
  return bytes;
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

void Configure(CURL* curl, const std::string& wire_url, long stall_seconds, Transfer& transfer,
               char* error_buffer) {
  // A reset drops the previous transfer's options; the open connections
  // live in the multi handle's cache, so the next file reuses them.
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
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, ReadHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ReportProgress);
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
CURLcode RunTransfer(CURLM* multi, CURL* curl, Transfer& transfer) {
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
    if (transfer.reports == reports_before && !transfer.callback->KeepAlive()) {
      transfer.aborted = true;
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
CURLcode RunRangedTransfer(CURLM* multi, Transfer& transfer) {
  CURL* curl = transfer.curl;
  curl_slist* headers = nullptr;
  if (transfer.resume_from > 0) {
    curl_easy_setopt(curl, CURLOPT_RANGE, (std::to_string(transfer.resume_from) + "-").c_str());
    headers = curl_slist_append(nullptr, ("If-Range: " + transfer.validator).c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  }
  const CURLcode code = RunTransfer(multi, curl, transfer);
  // The error buffer and the header list live on the caller's stack; the
  // handle outlives them.
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
  return code;
}

DownloadResult Failed(DownloadOutcome outcome, long status, std::string reason) {
  return DownloadResult{.outcome = outcome, .http_status = status, .reason = std::move(reason)};
}

// The wait a 429 (too many requests) or 503 (unavailable) answer asked for
// in its Retry-After header; libcurl reads both the delta-seconds and the
// HTTP-date form. Zero (no header, "0", or a date already past) asks for
// no wait of its own.
std::optional<std::chrono::seconds> RetryAfter(CURL* curl, long status) {
  if (status != 429 && status != 503) return std::nullopt;
  curl_off_t seconds = -1;
  if (curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &seconds) != CURLE_OK || seconds <= 0) {
    return std::nullopt;
  }
  return std::chrono::seconds(seconds);
}

DownloadResult Classify(CURL* curl, CURLcode code, const Transfer& transfer,
                        const std::string& shown_partial, const char* curl_error,
                        long stall_seconds) {
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (transfer.write_errno != 0) {
    return Failed(DownloadOutcome::kLocalFailure, status,
                  WriteFailure(shown_partial, transfer.write_errno));
  }
  if (transfer.aborted) return Failed(DownloadOutcome::kAborted, status, "aborted");
  if (!transfer.size_failure.empty()) {
    DownloadResult failed = Failed(DownloadOutcome::kServerFailure, status, transfer.size_failure);
    failed.too_large = transfer.over_limit;
    return failed;
  }
  if (code == CURLE_HTTP_RETURNED_ERROR) {
    DownloadResult failed =
        Failed(DownloadOutcome::kServerFailure, status, "HTTP status " + std::to_string(status));
    failed.retry_after = RetryAfter(curl, status);
    return failed;
  }
  if (code == CURLE_OPERATION_TIMEDOUT) {
    return Failed(DownloadOutcome::kServerFailure, status,
                  "no data for " + std::to_string(stall_seconds) + " s");
  }
  if (code != CURLE_OK) {
    return Failed(DownloadOutcome::kServerFailure, status,
                  curl_error[0] != '\0' ? curl_error : curl_easy_strerror(code));
  }
  // A body that ended early without announcing its length.
  if (transfer.expected_size && transfer.offset + transfer.received != *transfer.expected_size) {
    return Failed(
        DownloadOutcome::kServerFailure, status,
        SizeFailure("sent", transfer.offset + transfer.received, *transfer.expected_size));
  }
  return DownloadResult{.http_status = status};
}

// The partial file a download writes to: the existing one to continue when
// a validator was kept beside it and it may still grow, else a fresh one.
struct PartialStart {
  ContainedFile file;
  uint64_t size = 0;  // bytes already there to continue
  std::string validator;
};

PartialStart OpenPartial(const ContainedFolder& folder, const DownloadTarget& target, bool web) {
  // Nearly always nothing holds the partial name, and one system call both
  // finds that out and makes the file.
  ContainedFile fresh = folder.CreateNewFile(target.partial_name);
  if (fresh.Ok() || fresh.Error().number != EEXIST) return {std::move(fresh)};
  if (web) {
    std::string validator = LoadValidator(folder, target);
    ContainedFile file = validator.empty() ? ContainedFile(ContainedError{ENOENT, ""})
                                           : folder.OpenForAppending(target.partial_name);
    const uint64_t size = file.Size();
    if (file.Ok() && size > 0 && (!target.expected_size || size < *target.expected_size) &&
        (!target.size_limit || size <= *target.size_limit)) {
      return {std::move(file), size, std::move(validator)};
    }
  }
  (void)folder.Remove(ValidatorNameOf(target.partial_name));
  return {folder.CreateFreshFile(target.partial_name)};
}

bool IsWebUrl(const std::string& url) {
  std::string scheme = url.substr(0, url.find("://"));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme == "http" || scheme == "https";
}

// True when a failed attempt keeps its partial data for a later attempt to
// continue: there is data, its validator is known and now written beside
// it, and nothing says the data is wrong.
bool KeepPartial(Transfer& transfer, const DownloadResult& result) {
  const bool resumable = !transfer.validator.empty() &&
                         transfer.resume_from + transfer.received > 0 &&
                         transfer.size_failure.empty() && result.http_status != 416 &&
                         (result.outcome == DownloadOutcome::kServerFailure ||
                          result.outcome == DownloadOutcome::kAborted);
  return resumable && (transfer.validator_saved || SaveValidator(transfer));
}

// Renames a complete partial file to the final name; a failed attempt
// keeps its partial data or removes it.
DownloadResult Finish(const DownloadTarget& target, Transfer& transfer, DownloadResult result,
                      TransferCallback& callback) {
  const ContainedFolder& folder = *transfer.folder;
  if (result.Ok()) {
    // The validator goes first: a crash in between leaves a partial file
    // without one, which is fetched again, never a validator without its file.
    DropValidator(transfer);
    const ContainedStatus renamed = folder.Rename(target.partial_name, target.name);
    if (!renamed.Ok()) {
      result = Failed(DownloadOutcome::kLocalFailure, result.http_status, renamed.error.message);
    }
  }
  if (result.Ok()) {
    // A last report with the full count, so the byte counter ends at the
    // file's size. The file is complete, so an abort arriving now changes nothing.
    const uint64_t size = transfer.offset + transfer.received;
    (void)callback.OnProgress(size, size);
    return result;
  }
  if (!KeepPartial(transfer, result)) {
    DropValidator(transfer);
    (void)folder.Remove(target.partial_name);
  }
  return result;
}

}  // namespace

struct DownloadService::Handle {
  // Declared first, destroyed last: the easy handle goes before its multi.
  std::unique_ptr<CURLM, MultiCleanup> multi;
  std::unique_ptr<CURL, CurlCleanup> curl;
  std::unique_ptr<char[]> write_buffer;
  // The folder of the last download, kept open while the next ones go to
  // the same folder.
  ContainedFolder folder;

  const ContainedFolder& FolderFor(const std::filesystem::path& path) {
    if (!folder.StillNamedBy(path)) folder = ContainedFolder::Hold(path, true);
    return folder;
  }
};

DownloadService::DownloadService() : handle_(std::make_unique<Handle>()) {
  InitCurlOnce();
  handle_->multi.reset(curl_multi_init());
  handle_->curl.reset(curl_easy_init());
}

DownloadService::~DownloadService() = default;

bool StartsPercentEscape(std::string_view text, size_t at) {
  const auto hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  return at + 2 < text.size() && text[at] == '%' && hex(text[at + 1]) && hex(text[at + 2]);
}

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
    const bool escape_start = StartsPercentEscape(url, i);
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

DownloadResult DownloadService::Download(const std::string& url, const DownloadTarget& target,
                                         TransferCallback& callback) {
  TransferSpan span(callback);
  if (callback.AbortRequested()) return Failed(DownloadOutcome::kAborted, 0, "aborted");
  CURL* curl = handle_->curl.get();
  if (curl == nullptr || handle_->multi == nullptr) {
    return Failed(DownloadOutcome::kLocalFailure, 0, "cannot create a transfer handle");
  }
  const std::string shown_partial = ShownPathBelow(target.folder, target.partial_name);
  if (target.partial_name.empty() || SameNameBelow(target.name, target.partial_name)) {
    return Failed(
        DownloadOutcome::kLocalFailure, 0,
        "no partial file name apart from \"" + ShownPathBelow(target.folder, target.name) + "\"");
  }
  const ContainedFolder& folder = handle_->FolderFor(target.folder);
  if (!folder.Ok()) return Failed(DownloadOutcome::kLocalFailure, 0, folder.Error().message);
  PartialStart start = OpenPartial(folder, target, IsWebUrl(url));
  if (!start.file.Ok())
    return Failed(DownloadOutcome::kLocalFailure, 0, start.file.Error().message);

  if (!handle_->write_buffer) {
    handle_->write_buffer = std::make_unique_for_overwrite<char[]>(kWriteBufferSize);
  }
  Transfer transfer{.curl = curl,
                    .callback = &callback,
                    .fd = start.file.get(),
                    .buffer = handle_->write_buffer.get(),
                    .expected_size = target.expected_size,
                    .size_limit = target.size_limit,
                    .resume_from = start.size,
                    .validator = std::move(start.validator),
                    .validator_saved = start.size > 0,
                    .folder = &folder,
                    .target = &target,
                    .partial = &start.file};
  char curl_error[CURL_ERROR_SIZE] = {};
  const long stall_seconds = static_cast<long>(stall_timeout_.count());
  Configure(curl, EncodeForWire(url), stall_seconds, transfer, curl_error);
  const CURLcode code = RunRangedTransfer(handle_->multi.get(), transfer);
  // Buffered bytes reach the disk only now, so a full disk may show here;
  // a partial file kept for resuming gets them too.
  if (transfer.write_errno == 0 && (code == CURLE_OK || !transfer.validator.empty())) {
    (void)FlushBuffer(transfer);
  }
  start.file.Close();
  DownloadResult result = Classify(curl, code, transfer, shown_partial, curl_error, stall_seconds);
  return Finish(target, transfer, std::move(result), callback);
}

}  // namespace brenvik
