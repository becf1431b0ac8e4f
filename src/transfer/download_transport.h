#pragma once
// The part of a download that does not depend on how its bytes travel, and
// the interface of the transports that move them (libcurl on Linux, WinHTTP
// on Windows). Private to src/transfer.
//
// DownloadService::Download opens the partial file and hands a Body to its
// transport's Fetch. The transport tells the body what arrives: StartBody
// once the final response's headers are in, TakeBody for each piece of the
// body as it comes, and ReportProgress at least every kReportIntervalMs
// while the transfer runs, moving or not. When any of them returns false
// the transport stops at once; the body then knows why (a write failure, a
// size that cannot fit, an abort). Fetch returns how the transfer ended;
// the service flushes the buffered bytes, classifies the result and
// renames the file into place or keeps or drops the partial data.
//
// Thread safety: a Body and a Transport belong to the thread that called
// Download. A transport calls these functions on that thread, or, for
// StartBody and TakeBody, on its event loop (libcurl's) while that thread
// is kept away from the body (TakeBody with Payment::kChargeOnly, so the
// loop never waits for the speed limit). The reports run on the owning
// thread only.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/download_service.h"
#include "transfer/rate_limit.h"

namespace brenvik {

class ContainedFile;
class ContainedFolder;

namespace download {

inline constexpr const char* kUserAgent = "Brenvik/" BRENVIK_VERSION;
inline constexpr int kMaxRedirects = 10;
// The longest a transfer waits for the network before the callback hears
// from it again.
inline constexpr int kReportIntervalMs = 50;

// One transfer's body on its way to the partial file.
struct Body {
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
  int write_errno = 0;
  std::string size_failure;  // why the body cannot have the expected size
  bool aborted = false;
  // Resuming: the partial file's size when the attempt asked for the rest
  // (the transport sends a Range from there and an If-Range of
  // `validator`), and the bytes the body continues (set once a 206 with
  // that start came).
  uint64_t resume_from = 0;
  uint64_t offset = 0;
  // A part of a file (DownloadService::DownloadRange): the answer must be
  // exactly that part of the same file, a 206 from `resume_from`; the
  // request asks up to `range_end` (exclusive; 0: to the file's end).
  bool range_only = false;
  uint64_t range_end = 0;
  // Set when a range was answered with the whole file or with another
  // file's part: the server cannot serve this file in parts.
  std::string range_refusal;
  // The body stops at this offset of the file (another download fetches
  // what follows, and may move it down while this one runs);
  // `reached_stop` once it got there.
  const std::atomic<uint64_t>* stop_at = nullptr;
  bool reached_stop = false;
  // When set, progress shows this count (the file's bytes on disk over all
  // its parts); a range body without it shows none of its own.
  const std::atomic<uint64_t>* shown_done = nullptr;
  // The validator of the partial file's data, kept in memory; empty when
  // the data cannot be resumed. The file beside the partial one holds it
  // only when `validator_saved`.
  std::string validator;
  bool validator_saved = false;
  bool saved_for_large_body = false;  // the save after the first megabyte was tried
  // Why the transfer was refused and must not be tried again (a redirect
  // to a refused address, a body compressed unasked); empty otherwise.
  std::string refusal;
  // The stall watch: at least `stall_bytes` must arrive in every span of
  // `stall_timeout`; `stalled` once they did not.
  uint64_t stall_bytes = 0;
  std::chrono::steady_clock::duration stall_timeout{};
  std::chrono::steady_clock::time_point stall_window_start{};
  uint64_t stall_window_received = 0;
  bool stalled = false;
  const ContainedFolder* folder = nullptr;
  const DownloadTarget* target = nullptr;
  ContainedFile* partial = nullptr;
  // The speed limit the body's bytes are paid for with; null: none.
  RateLimit* rate_limit = nullptr;
  // A fresh download of a file that fits in the write buffer makes its
  // partial file only when bytes must reach the disk before the body is
  // complete (fd is -1 until then); a complete body then goes straight to
  // the final name, which `in_final` says.
  bool partial_deferred = false;
  bool in_final = false;
};

// The headers of the final response that resuming needs.
struct ResponseHeaders {
  std::string etag;
  std::string last_modified;
  std::string content_range;
  std::string content_encoding;
  std::string accept_ranges;
};

// The value of the Range header a body asks with ("bytes=S-" or
// "bytes=S-E"); empty when it asks for the whole file.
std::string RangeHeaderValue(const Body& body);

// The final response's headers are complete (`status` 0 for a file URL). A
// 200 starts the partial file over when it held data and takes the new
// validator (a strong one only: a weak ETag is never sent back in If-Range,
// so such a file cannot be resumed); a 206 must continue the partial file
// exactly where it ends. A body with a Content-Encoding (nothing asks for
// one) is refused. False stops the transfer.
[[nodiscard]] bool StartBody(Body& body, long status, const ResponseHeaders& headers);

// False once the body can no longer end well: `announced` (the response's
// Content-Length, counted from the response's first byte) or `bytes` more
// would break the expected size or the size limit. Checked before anything
// is written, so the partial file never grows beyond either. `announced` is
// only looked at before the first byte is taken.
[[nodiscard]] bool BodyFits(Body& body, size_t bytes, std::optional<uint64_t> announced);

// Takes the next piece of the body: checks it with BodyFits, writes it
// through the buffer, counts it with the callback and pays for it under the
// speed limit: kWait waits while the limit is used up, the callback kept
// alive; kChargeOnly, for a thread that must not wait (an event loop
// serving other transfers too), charges the bytes to the limit, which holds
// the other payers back, and goes on. False stops the transfer.
enum class Payment { kWait, kChargeOnly };
[[nodiscard]] bool TakeBody(Body& body, const char* data, size_t bytes,
                            std::optional<uint64_t> announced, Payment payment = Payment::kWait);

// Hands the callback the whole file's count: `body_now` bytes of this
// response so far, of `body_announced` (0 when unknown). A report that
// moved nothing keeps the face alive. False (and `aborted`) once the
// callback asks to stop, or (and `stalled`) once the stall watch fires.
[[nodiscard]] bool ReportProgress(Body& body, uint64_t body_now, uint64_t body_announced);

// The transfer waits for a connection (all are busy): the stall watch
// starts over, as no server has been asked yet.
void HoldStallWatch(Body& body);

// A report while nothing moved: keeps the face alive and watches for a
// stall. False as ReportProgress.
[[nodiscard]] bool ReportIdle(Body& body);

// The wait a 429 or 503 answer asks for in its Retry-After header: delta
// seconds or an HTTP date (the three forms HTTP allows), counted from
// `now`. Nullopt for another status, a missing or unreadable header, or no
// wait at all ("0", a date already past).
std::optional<std::chrono::seconds> RetryAfterOf(long status, std::string_view header,
                                                 std::chrono::system_clock::time_point now);

std::string_view Trimmed(std::string_view text);

// How a transfer ended, as its transport saw it.
struct TransportEnd {
  enum class Kind {
    kComplete,   // the whole body came
    kHttpError,  // a status of 400 or more
    kStalled,    // no data for the stall timeout
    kFailed,     // anything else; `error` says what, unless the body knows
  };
  Kind kind = Kind::kComplete;
  long status = 0;    // the last HTTP status received, 0 when none
  std::string error;  // one line, for kFailed
  std::optional<std::chrono::seconds> retry_after;
  // The failure cannot get better by trying again (a refused redirect, a
  // certificate problem, an unsupported protocol).
  bool permanent = false;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Empty when the transport could be set up, else why not.
  virtual std::string Unready() const = 0;
  // Fetches `wire_url` (encoded for the wire) into `body`.
  virtual TransportEnd Fetch(const std::string& wire_url, Body& body,
                             std::chrono::seconds stall_timeout) = 0;
};

// This platform's transport, one per service, on `hub`'s connections.
std::unique_ptr<Transport> MakeTransport(ConnectionHub& hub);

}  // namespace download
}  // namespace brenvik
