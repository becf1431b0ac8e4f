#pragma once
// The download service: moves one URL (http, https or file) into a file
// below a folder, reporting progress to the transfer callback. The bytes
// travel through libcurl on Linux and through WinHTTP (with the system's
// TLS) on Windows; everything else is the same on both.
//
// The body is written to the target's partial name, created fresh (never
// opened through a link, never an existing file truncated), and renamed to
// the final name only after a complete transfer of the expected size, so a
// failed or aborted attempt never leaves a file under the final name.
//
// Resuming: when an http(s) answer of 200 carries an ETag (else a
// Last-Modified), that validator is kept in memory while the body flows.
// It is written to a file beside the partial one
// (ValidatorNameOf(partial_name)) only when it is worth keeping: once the
// body passes 1 MiB (so that a crash or a kill during a large file still
// leaves something to resume), or when an attempt ends early (a failure, a
// stall, an abort) with partial data to keep. A complete download thus
// creates no file but the partial one, renamed into place. The next
// attempt, in this run or a later one, opens the partial file (never
// through a link) when the validator is beside it and asks for the rest
// with a Range and an If-Range of that validator. A 206 that starts exactly
// at the partial file's end is appended; a 200 (the file changed, or the
// server ignores ranges) starts the partial file over, created fresh.
// Without a validator nothing is resumed. A body that cannot have the
// expected size, a range that does not fit, a 416 and any local failure
// remove the partial file and its validator; a complete file removes the
// validator it had. Sizes and progress count the whole file, the resumed
// part included. Nothing outside the target's folder is created or written:
// a symbolic link below the folder is refused (the folder itself may be
// one).
//
// An HTTP status of 400 or more fails; redirects are followed (to http and
// https only, and never from https to http: a refused redirect fails at
// once, marked permanent); a transfer that brings less than the stall bytes
// (1 kB) within the stall timeout fails; a body with a Content-Encoding
// fails, marked permanent (nothing asks for one, so its bytes are not the
// file's);
// with an expected size, a body announced or sent with another size fails
// as soon as that is certain, so a server cannot fill the disk; with a size
// limit, a body announced or sent larger than it fails the same way. Missing
// folders below the target's folder are created. The URL may hold
// characters that URLs must escape (a blank, say): they are percent-encoded
// on the wire only.
//
// While a transfer runs the callback hears from it at least every 50 ms,
// whether bytes move or not, so the abort flag is honoured and an idle face
// keeps drawing even while a server stays silent.
//
// Thread safety: one instance per thread. Its connections live in its hub
// (HTTPS, and every transfer on Windows) or in a multi handle of its own
// (plain HTTP on Linux), so consecutive downloads from the same server
// reuse them, and it keeps the
// target's
// folder open while consecutive downloads go to the same one (opened again
// when its path no longer leads to the folder held).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transfer/rate_limit.h"

namespace brenvik {

class TransferCallback;

enum class DownloadOutcome {
  kOk,
  kAborted,        // the callback asked to stop
  kServerFailure,  // the server (or the source file of a file URL) failed
  kLocalFailure,   // a file or folder here could not be created, written or renamed
};

struct DownloadResult {
  DownloadOutcome outcome = DownloadOutcome::kOk;
  long http_status = 0;    // the last HTTP status received, 0 when none
  std::string reason;      // one line: why it failed; for kLocalFailure it names the path
  bool too_large = false;  // kServerFailure because the body exceeded the target's size limit
  // The wait the server asked for before the next attempt: the Retry-After
  // of a 429 or 503 answer (delta-seconds or an HTTP date); nullopt without one.
  std::optional<std::chrono::seconds> retry_after;
  // kServerFailure that trying again cannot mend: a redirect to a refused
  // address (another scheme, https to http), a certificate problem, an
  // unsupported protocol, a body compressed unasked.
  bool permanent = false;
  // kServerFailure because the body had another size than the expected one
  // (a cache in between may hold a stale copy).
  bool wrong_size = false;
  // kOk without a complete file: the body reached the target's stop_at, and
  // the partial file stays (with its validator) for the parts after it.
  bool stopped_at_range = false;
  // kServerFailure of a range: the server answered with the whole file, or
  // with a part of another version of it. It cannot serve this file in parts.
  bool range_refused = false;
  // A failed download left its partial file (and validator) in place for a
  // later attempt to continue.
  bool partial_kept = false;
  [[nodiscard]] bool Ok() const { return outcome == DownloadOutcome::kOk; }
};

// Sees the bytes of a download as they are written to the partial file:
// each piece right after its write succeeded, from the same buffer, in file
// order. Begin comes before any piece: with 0 when the file starts empty,
// with the size of the kept part when a download goes on from it; a later
// Begin (the kept part was dropped) says the pieces before it no longer
// count.
class WrittenBytes {
 public:
  virtual ~WrittenBytes() = default;
  virtual void Begin(uint64_t offset) = 0;
  virtual void Add(const char* data, size_t size) = 0;
};

struct DownloadTarget {
  std::filesystem::path folder;  // nothing outside it is created or written; may be "."
  std::string name;              // relative below folder, '/' or '\\' separated
  std::string partial_name;      // relative below folder: where the body goes until complete
  std::optional<uint64_t> expected_size;  // when known: a body of another size fails early
  std::optional<uint64_t> size_limit;     // when set: a larger body fails early
  // Ask past any cache on the way (Cache-Control: no-cache and Pragma:
  // no-cache): a cache must fetch the file afresh or revalidate it.
  bool past_caches = false;
  // When set, sees every byte written (for a digest made as they arrive).
  WrittenBytes* written = nullptr;
  // When set, the body stops at this offset of the file (others fetch the
  // rest); it may move down while the download runs.
  const std::atomic<uint64_t>* stop_at = nullptr;
  // When set, told once while a 200 answer's body starts from a server that
  // serves parts of this file (Accept-Ranges: bytes, a strong validator),
  // with that validator: parts of it may then come on other connections.
  std::function<void(const std::string& validator)> ranges_offered;
  // When set, progress shows this count instead of this download's own.
  const std::atomic<uint64_t>* shown_done = nullptr;
};

// A part of a file that other downloads fetch too (DownloadService::
// DownloadRange): the bytes from `start` up to `end` (exclusive; it may
// move down while the download runs) of the file whose validator is
// `validator`, written in place into the existing partial file.
struct RangeTarget {
  std::filesystem::path folder;
  std::string partial_name;
  std::string validator;
  uint64_t start = 0;
  const std::atomic<uint64_t>* end = nullptr;
  uint64_t file_size = 0;
  bool past_caches = false;
  WrittenBytes* written = nullptr;  // Begin(start), then each piece written
  // When set, progress shows this count; otherwise the part shows none.
  const std::atomic<uint64_t>* shown_done = nullptr;
};

// The connections that the download services of one session share. On
// Linux one event loop (libcurl's multi interface, on a thread of its own,
// started by the first HTTPS transfer) drives every HTTPS transfer of
// every service made with the hub: at most `connections` connections per
// server, each reused from one file to the next, and on HTTP/2 (negotiated
// over HTTPS) many transfers share one connection as streams, up to the
// server's limit. The thread that asked for a download still writes and
// hashes its bytes, so the disk and the digests work on as many cores as
// there are downloads. A plain HTTP transfer (one per connection at a
// time, whatever the server) runs on the thread that asked for it, on its
// service's own multi handle and connection: handing its bytes between
// two threads would only cost wake-ups. On Windows the hub is one WinHTTP
// session that its services share: its connections (at most `connections`
// per server) and, where Windows speaks HTTP/2, its streams.
//
// Thread safety: every member may be used from any thread; the hub must
// outlive the services made with it.
class ConnectionHub {
 public:
  explicit ConnectionHub(int connections);
  ~ConnectionHub();
  ConnectionHub(const ConnectionHub&) = delete;
  ConnectionHub& operator=(const ConnectionHub&) = delete;

  int Connections() const { return connections_; }
  // The most downloads worth running at once: the connections, or more
  // where one connection can carry many transfers.
  int MostTransfers() const;
  // True once a server answered over a connection that carries many
  // transfers at once (HTTP/2): more downloads may then run than there are
  // connections.
  bool Multiplexing() const;

  struct Loop;  // the transport's side
  Loop& loop() { return *loop_; }

  // The speed limit of every download through this hub together.
  RateLimit& Limit() { return limit_; }

 private:
  int connections_;
  std::unique_ptr<Loop> loop_;
  RateLimit limit_;
};

class DownloadService {
 public:
  // Transfers go through `hub`'s connections; without one the service has
  // a connection of its own.
  explicit DownloadService(ConnectionHub* hub = nullptr);
  ~DownloadService();
  DownloadService(const DownloadService&) = delete;
  DownloadService& operator=(const DownloadService&) = delete;

  // Fetches `url` into `target`. The partial name must differ from the
  // final name (kLocalFailure otherwise).
  [[nodiscard]] DownloadResult Download(const std::string& url, const DownloadTarget& target,
                                        TransferCallback& callback);

  // Fetches a part of `url` into the partial file with a Range and an
  // If-Range of the target's validator. Only a 206 of exactly that part is
  // written (at its place; nothing else in the file is touched); a 200 or
  // a part of another version writes nothing and fails with
  // range_refused. Reaching `end` is success (stopped_at_range when the
  // transfer was cut there). The partial file is never removed or renamed.
  [[nodiscard]] DownloadResult DownloadRange(const std::string& url, const RangeTarget& target,
                                             TransferCallback& callback);

  // Renames the partial file of a download finished in parts to its final
  // name, dropping its validator; kLocalFailure when that fails.
  [[nodiscard]] DownloadResult FinishParts(const DownloadTarget& target);
  // Removes the partial file and its validator: the file starts over.
  void DropPartial(const DownloadTarget& target);
  // Reads bytes [from, to) of the partial file and hands them to `into`,
  // in order; false when the file cannot be opened or read that far. For
  // the thread that owns the service, while it is not downloading.
  [[nodiscard]] bool ReadPartial(const DownloadTarget& target, uint64_t from, uint64_t to,
                                 WrittenBytes& into);

  // The parts of a file still missing from its partial file, kept beside
  // it with the validator of the data there (the validator file's second
  // line), so that a download cut while it came in parts goes on with
  // every part. Nullopt when none are kept or they do not fit the target's
  // size. A whole download (Download) never continues such a file: it
  // starts it over.
  struct KeptParts {
    std::string validator;
    std::vector<std::pair<uint64_t, uint64_t>> missing;  // [start, end), in order
  };
  std::optional<KeptParts> LoadParts(const DownloadTarget& target);
  // Keeps `parts` beside the partial file; false when that failed.
  bool SaveParts(const DownloadTarget& target, const KeptParts& parts);

  // A transfer stalls when less than the stall bytes arrive within the
  // stall timeout (default 1 kB in 60 s); tests shorten both.
  void SetStallTimeout(std::chrono::seconds timeout) { stall_timeout_ = timeout; }
  void SetStallBytes(uint64_t bytes) { stall_bytes_ = bytes; }

  // Percent-encodes what a URL must escape (blanks, controls, non-ASCII,
  // and a few reserved characters) while keeping the URL's structure; a
  // backslash in the path becomes '/'.
  static std::string EncodeForWire(const std::string& url);

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  std::chrono::seconds stall_timeout_{60};
  uint64_t stall_bytes_ = 1024;
};

// True when `text` holds '%' and two hexadecimal digits at `at`: an escape
// that DownloadService::EncodeForWire keeps as it is.
bool StartsPercentEscape(std::string_view text, size_t at);

}  // namespace brenvik
