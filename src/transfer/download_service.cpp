#include "transfer/download_service.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <sstream>
#include <system_error>

#include "platform/contained_files.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "transfer/download_transport.h"
#include "transfer/transfer_callback.h"
#include "transfer/url_text.h"

namespace brenvik {

namespace download {

namespace {

// Whole-buffer writes: one system call per megabyte instead of one per
// network chunk.
constexpr size_t kWriteBufferSize = 1 << 20;
// The longest validator (ETag or Last-Modified) kept for resuming.
constexpr size_t kLongestValidator = 512;
// A body longer than this gets its validator written beside the partial
// file while it still flows, so that even a crash or a kill during a large
// file still leaves something to resume. A shorter one is simply fetched
// again, and a complete download then creates no file but its own.
constexpr uint64_t kSaveValidatorAfter = 1 << 20;
// A Retry-After beyond this (ten years) is read as this: the caller caps
// the wait far lower, and the count must not overflow.
constexpr int64_t kLongestRetryAfter = 10LL * 366 * 24 * 3600;

std::string SizeFailure(const char* what, uint64_t count, uint64_t expected) {
  return "the server " + std::string(what) + " " + std::to_string(count) +
         " bytes where the catalogue says " + std::to_string(expected);
}

std::string WriteFailure(const std::string& shown, int number) {
  const std::string cause =
      number == ENOSPC ? "the disk is full" : std::generic_category().message(number);
  return "cannot write \"" + shown + "\": " + cause;
}

// Makes the partial file a download deferred (Body::partial_deferred);
// false, with the cause kept, when it cannot.
bool MakeDeferredPartial(Body& body) {
  if (!body.partial_deferred) {
    body.write_errno = EBADF;
    return false;
  }
  body.partial_deferred = false;
  *body.partial = body.folder->CreateFreshFile(body.target->partial_name);
  if (!body.partial->Ok()) {
    body.write_errno = body.partial->Error().number;
    return false;
  }
  body.fd = body.partial->get();
  return true;
}

bool WriteOut(Body& body, const char* data, size_t size) {
  if (body.fd < 0 && !MakeDeferredPartial(body)) return false;
  body.write_errno = WriteAll(body.fd, data, size);
  if (body.write_errno != 0) return false;
  // Exactly the bytes now in the file, from the buffer they were written from.
  if (body.target != nullptr && body.target->written != nullptr) {
    body.target->written->Add(data, size);
  }
  return true;
}

bool FlushBuffer(Body& body) {
  if (body.buffered == 0) return true;
  const size_t size = body.buffered;
  body.buffered = 0;
  return WriteOut(body, body.buffer, size);
}

// False once the body can no longer end with the expected size.
bool BodyFitsExpectedSize(Body& body, size_t bytes, std::optional<uint64_t> announced) {
  if (!body.expected_size) return true;
  const uint64_t expected = *body.expected_size;
  if (announced && *announced + body.offset != expected) {
    body.size_failure = SizeFailure("announced", *announced + body.offset, expected);
    return false;
  }
  if (body.offset + body.received > expected || bytes > expected - body.offset - body.received) {
    body.size_failure = SizeFailure("sent at least", body.offset + body.received + bytes, expected);
    return false;
  }
  return true;
}

// False once the body is known to be larger than the size limit, announced
// or sent.
bool BodyWithinLimit(Body& body, size_t bytes, std::optional<uint64_t> announced) {
  if (!body.size_limit) return true;
  const uint64_t limit = *body.size_limit;
  const uint64_t have = body.offset + body.received;
  body.over_limit =
      (announced && *announced + body.offset > limit) || have > limit || bytes > limit - have;
  if (body.over_limit) {
    body.size_failure = "the server sent more than " + std::to_string(limit) +
                        " bytes, the most this file may have";
  }
  return !body.over_limit;
}

// A validator fit to send back in If-Range: one line of printable text,
// and strong (HTTP forbids a weak ETag there).
bool UsableValidator(std::string_view value) {
  if (value.empty() || value.size() > kLongestValidator || value.starts_with("W/")) return false;
  return std::all_of(value.begin(), value.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F; });
}

// Writes the validator beside the partial file, replacing whatever held
// its name; true when it is in place.
bool SaveValidator(Body& body) {
  const std::string name = ValidatorNameOf(body.target->partial_name);
  ContainedFile file = body.folder->CreateFreshFile(name);
  if (!file.Ok()) return false;
  if (WriteAll(file.get(), body.validator.data(), body.validator.size()) != 0) {
    file.Close();
    (void)body.folder->Remove(name);
    return false;
  }
  body.validator_saved = true;
  return true;
}

// Removes the validator file when this transfer knows it is there.
void DropValidator(Body& body) {
  if (!body.validator_saved) return;
  (void)body.folder->Remove(ValidatorNameOf(body.target->partial_name));
  body.validator_saved = false;
}

// The validator kept beside the partial file; empty when there is none fit
// to use.
std::string LoadValidator(const ContainedFolder& folder, const DownloadTarget& target) {
  ContainedFile file = folder.OpenForReading(ValidatorNameOf(target.partial_name));
  if (!file.Ok()) return {};
  char text[kLongestValidator + 1];
  const long long got = ReadSome(file.get(), text, sizeof text);
  if (got <= 0) return {};
  const std::string_view value(text, static_cast<size_t>(got));
  return UsableValidator(value) ? std::string(value) : std::string();
}

// Once a body grows past kSaveValidatorAfter bytes its validator goes beside
// the partial file (tried once), so a crash or a kill leaves data that can
// be resumed.
void SaveValidatorOfLargeBody(Body& body) {
  // Never a validator without its file: a deferred partial file waits.
  if (body.saved_for_large_body || body.validator_saved || body.validator.empty() || body.fd < 0 ||
      body.offset + body.received <= kSaveValidatorAfter) {
    return;
  }
  body.saved_for_large_body = true;
  (void)SaveValidator(body);
}

// A whole number of seconds, saturating at kLongestRetryAfter.
std::optional<int64_t> DeltaSeconds(std::string_view text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  int64_t seconds = 0;
  for (const char digit : text) {
    seconds = std::min(seconds * 10 + (digit - '0'), kLongestRetryAfter);
  }
  return seconds;
}

std::optional<int> Number(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Reads the three date forms HTTP allows,
//   Sun, 06 Nov 1994 08:49:37 GMT    Sunday, 06-Nov-94 08:49:37 GMT
//   Sun Nov  6 08:49:37 1994
// by the shape of their fields: the time holds colons, the month is named,
// the first number is the day and the second the year. The weekday and the
// zone (always GMT) are passed over.
std::optional<std::chrono::sys_seconds> HttpDate(std::string_view text) {
  static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
  std::string fields(text.substr(0, 64));
  std::replace_if(
      fields.begin(), fields.end(), [](char c) { return c == ',' || c == '-'; }, ' ');
  std::istringstream words(fields);
  std::optional<int> day, year, month, hour, minute, second;
  for (std::string word; words >> word;) {
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto named = std::find(std::begin(kMonths), std::end(kMonths), word);
    if (word.size() == 8 && word[2] == ':' && word[5] == ':') {
      hour = Number(word.substr(0, 2));
      minute = Number(word.substr(3, 2));
      second = Number(word.substr(6, 2));
    } else if (named != std::end(kMonths)) {
      month = static_cast<int>(named - std::begin(kMonths)) + 1;
    } else if (const std::optional<int> number = Number(word); number && !day) {
      day = number;
    } else if (number && !year) {
      // Two-digit years (the obsolete form) are of this century up to 69.
      year = word.size() == 2 ? *number + (*number < 70 ? 2000 : 1900) : *number;
    }
  }
  if (!day || !month || !year || !hour || !minute || !second || *hour > 23 || *minute > 59 ||
      *second > 60) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(*year),
                                         std::chrono::month(static_cast<unsigned>(*month)),
                                         std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days(date) + std::chrono::hours(*hour) + std::chrono::minutes(*minute) +
         std::chrono::seconds(*second);
}

}  // namespace

bool BodyFits(Body& body, size_t bytes, std::optional<uint64_t> announced) {
  if (body.received != 0) announced.reset();
  return BodyFitsExpectedSize(body, bytes, announced) && BodyWithinLimit(body, bytes, announced);
}

namespace {

// The bytes of a piece that come before the body's stop; `reached_stop`
// once the stop is in or before it.
size_t BytesBeforeStop(Body& body, size_t bytes) {
  if (body.stop_at == nullptr) return bytes;
  const uint64_t at = body.offset + body.received;
  const uint64_t stop = body.stop_at->load();
  // A stop at the file's end is none: the whole file came.
  const bool at_end = body.expected_size && stop >= *body.expected_size;
  if (at + bytes < stop || at_end) return bytes;
  body.reached_stop = true;
  return stop > at ? static_cast<size_t>(stop - at) : 0;
}

}  // namespace

bool TakeBody(Body& body, const char* data, size_t bytes, std::optional<uint64_t> announced,
              Payment payment) {
  bytes = BytesBeforeStop(body, bytes);
  if (!BodyFits(body, bytes, announced)) return false;
  if (body.buffered + bytes > kWriteBufferSize && !FlushBuffer(body)) return false;
  if (bytes >= kWriteBufferSize) {
    if (!WriteOut(body, data, bytes)) return false;
  } else {
    std::memcpy(body.buffer + body.buffered, data, bytes);
    body.buffered += bytes;
  }
  body.received += bytes;
  body.callback->CountReceived(bytes);  // what the run's rate is made of
  if (!body.range_only) SaveValidatorOfLargeBody(body);
  if (body.rate_limit != nullptr && payment == Payment::kChargeOnly) {
    (void)body.rate_limit->Charge(bytes);
  } else if (body.rate_limit != nullptr) {
    body.rate_limit->Pay(bytes, [&body] { return body.callback->KeepAlive(); });
    if (body.callback->AbortRequested()) body.aborted = true;
  }
  return !body.reached_stop && !body.aborted;
}

namespace {

// Tells the target that parts of this file may come on other connections:
// the server serves ranges of it under a strong validator.
void OfferRanges(Body& body, const ResponseHeaders& headers) {
  if (body.range_only || body.validator.empty() || body.target == nullptr ||
      !body.target->ranges_offered ||
      !EqualIgnoringAsciiCase(Trimmed(headers.accept_ranges), "bytes")) {
    return;
  }
  body.target->ranges_offered(body.validator);
}

// True unless a 206 names, by its ETag, another version of the file than
// the strong validator the part was asked with: a server that compares no
// validators (or a mirror with another copy) answers a Range whatever its
// If-Range says.
bool SameVersion(const Body& body, const ResponseHeaders& headers) {
  const std::string etag(Trimmed(headers.etag));
  return etag.empty() || !body.validator.starts_with('"') || etag == body.validator;
}

// A part is written only when it is the part asked for, of the same file.
// A 200 is the whole file: the server does not serve it in parts.
bool RangeAnswerFits(Body& body, long status, const ResponseHeaders& headers) {
  if (status == 200) {
    body.range_refusal = "the server sent the whole file when asked for a part of it";
    return false;
  }
  if (status == 206 && !SameVersion(body, headers)) {
    body.range_refusal = "the file changed on the server while its parts were fetched";
    return false;
  }
  return true;
}

// False (and `stalled`) once less than the stall bytes arrived in the stall
// timeout: a server trickling a byte now and then is as good as a silent one.
bool StillMoving(Body& body) {
  if (body.stall_bytes == 0 || body.stall_timeout.count() <= 0) return true;
  const auto now = std::chrono::steady_clock::now();
  if (body.stall_window_start == std::chrono::steady_clock::time_point{} ||
      body.received - body.stall_window_received >= body.stall_bytes) {
    body.stall_window_start = now;
    body.stall_window_received = body.received;
    return true;
  }
  body.stalled = now - body.stall_window_start >= body.stall_timeout;
  return !body.stalled;
}

}  // namespace

void HoldStallWatch(Body& body) { body.stall_window_start = {}; }

bool ReportIdle(Body& body) {
  if (!StillMoving(body)) return false;
  const bool go_on = body.callback->KeepAlive();
  if (!go_on) body.aborted = true;
  return go_on;
}

bool ReportProgress(Body& body, uint64_t body_now, uint64_t body_announced) {
  if (!StillMoving(body)) return false;
  // The whole file's bytes: a resumed body continues the partial file.
  uint64_t now = body.offset + body_now;
  uint64_t total =
      body.expected_size.value_or(body_announced > 0 ? body.offset + body_announced : 0);
  if (body.shown_done != nullptr) {
    // A file fetched in parts shows the bytes of all of them.
    now = body.shown_done->load();
    total = body.expected_size.value_or(body.size_limit.value_or(0));
  } else if (body.range_only) {
    now = total = 0;  // another download shows the file's count
  }
  // A transport may report many times per chunk; a report that moved
  // nothing still keeps the face alive and checks the abort flag.
  const bool moved = now != body.reported_now || total != body.reported_total;
  body.reported_now = now;
  body.reported_total = total;
  const bool go_on = moved ? body.callback->OnProgress(now, total) : body.callback->KeepAlive();
  if (!go_on) body.aborted = true;
  return go_on;
}

bool StartBody(Body& body, long status, const ResponseHeaders& headers) {
  // Nothing asks for a compressed body, so its bytes are not the file's:
  // no use fetching them, now or on another try.
  const std::string_view encoding = Trimmed(headers.content_encoding);
  if (!encoding.empty() && !EqualIgnoringAsciiCase(encoding, "identity")) {
    body.refusal = "the server sent the file compressed (Content-Encoding: " +
                   std::string(encoding.substr(0, 40)) + ") though nothing asked for that";
    return false;
  }
  if (body.range_only && !RangeAnswerFits(body, status, headers)) return false;
  if (status == 206) {
    const std::string expected = "bytes " + std::to_string(body.resume_from) + "-";
    if ((body.resume_from == 0 && !body.range_only) ||
        headers.content_range.rfind(expected, 0) != 0) {
      body.size_failure = "the server sent a part of the file that does not fit";
      return false;
    }
    // Spliced onto the kept part, another version's rest would make a file
    // of neither: the kept part goes, and the next attempt starts over.
    if (!SameVersion(body, headers)) {
      body.size_failure = "the server sent the rest of another version of the file";
      return false;
    }
    body.offset = body.resume_from;
    OfferRanges(body, headers);
    return true;
  }
  if (status != 200) return true;  // a redirect, a failure, or a file URL
  if (body.resume_from > 0) {
    DropValidator(body);
    body.partial->Close();
    *body.partial = body.folder->CreateFreshFile(body.target->partial_name);
    if (!body.partial->Ok()) {
      body.write_errno = body.partial->Error().number;
      return false;
    }
    body.fd = body.partial->get();
    body.resume_from = 0;
    if (body.target->written != nullptr) body.target->written->Begin(0);
  }
  // With a weak ETag the date may not stand in for it either: no resume.
  const std::string& validator = headers.etag.empty() ? headers.last_modified : headers.etag;
  body.validator = UsableValidator(validator) ? validator : std::string();
  OfferRanges(body, headers);
  return true;
}

std::string RangeHeaderValue(const Body& body) {
  if (body.resume_from == 0 && !body.range_only) return {};
  std::string value = "bytes=" + std::to_string(body.resume_from) + "-";
  if (body.range_end > body.resume_from) value += std::to_string(body.range_end - 1);
  return value;
}

std::optional<std::chrono::seconds> RetryAfterOf(long status, std::string_view header,
                                                 std::chrono::system_clock::time_point now) {
  if (status != 429 && status != 503) return std::nullopt;
  header = Trimmed(header);
  int64_t seconds = 0;
  if (const std::optional<int64_t> delta = DeltaSeconds(header)) {
    seconds = *delta;
  } else if (const std::optional<std::chrono::sys_seconds> date = HttpDate(header)) {
    // In whole seconds: a far date in the clock's own unit (nanoseconds)
    // would overflow.
    const auto now_seconds = std::chrono::floor<std::chrono::seconds>(now);
    seconds = std::clamp<int64_t>((*date - now_seconds).count(), 0, kLongestRetryAfter);
  }
  if (seconds <= 0) return std::nullopt;
  return std::chrono::seconds(seconds);
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

}  // namespace download

namespace {

using download::Body;
using download::TransportEnd;

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

DownloadResult Failed(DownloadOutcome outcome, long status, std::string reason) {
  return DownloadResult{.outcome = outcome, .http_status = status, .reason = std::move(reason)};
}

// What the body knows comes first: a local failure, an abort, a size that
// cannot fit; then how the transport ended.
// Why a transfer counted as stalled.
std::string StallReason(const Body& body, long stall_seconds) {
  if (body.received == body.stall_window_received) {
    return "no data for " + std::to_string(stall_seconds) + " s";
  }
  return "less than " + std::to_string(body.stall_bytes) + " bytes in " +
         std::to_string(stall_seconds) + " s";
}

DownloadResult Classify(const TransportEnd& end, const Body& body, const std::string& shown_partial,
                        long stall_seconds) {
  const long status = end.status;
  if (body.write_errno != 0) {
    return Failed(DownloadOutcome::kLocalFailure, status,
                  download::WriteFailure(shown_partial, body.write_errno));
  }
  if (body.aborted) return Failed(DownloadOutcome::kAborted, status, "aborted");
  if (body.reached_stop) return DownloadResult{.http_status = status, .stopped_at_range = true};
  if (!body.range_refusal.empty()) {
    DownloadResult failed = Failed(DownloadOutcome::kServerFailure, status, body.range_refusal);
    failed.range_refused = true;
    return failed;
  }
  if (!body.refusal.empty()) {
    DownloadResult failed = Failed(DownloadOutcome::kServerFailure, status, body.refusal);
    failed.permanent = true;
    return failed;
  }
  if (!body.size_failure.empty()) {
    DownloadResult failed = Failed(DownloadOutcome::kServerFailure, status, body.size_failure);
    failed.too_large = body.over_limit;
    failed.wrong_size = !body.over_limit;
    return failed;
  }
  if (body.stalled) {
    return Failed(DownloadOutcome::kServerFailure, status, StallReason(body, stall_seconds));
  }
  switch (end.kind) {
    case TransportEnd::Kind::kHttpError: {
      DownloadResult failed =
          Failed(DownloadOutcome::kServerFailure, status, "HTTP status " + std::to_string(status));
      failed.retry_after = end.retry_after;
      return failed;
    }
    case TransportEnd::Kind::kStalled:
      return Failed(DownloadOutcome::kServerFailure, status,
                    "no data for " + std::to_string(stall_seconds) + " s");
    case TransportEnd::Kind::kFailed: {
      DownloadResult failed = Failed(DownloadOutcome::kServerFailure, status,
                                     end.error.empty() ? "the transfer failed" : end.error);
      failed.permanent = end.permanent;
      return failed;
    }
    case TransportEnd::Kind::kComplete:
      break;
  }
  // A body that ended early without announcing its length.
  if (body.expected_size && body.offset + body.received != *body.expected_size) {
    DownloadResult failed =
        Failed(DownloadOutcome::kServerFailure, status,
               download::SizeFailure("sent", body.offset + body.received, *body.expected_size));
    failed.wrong_size = body.offset + body.received > *body.expected_size;
    return failed;
  }
  return DownloadResult{.http_status = status};
}

// The partial file a download writes to: the existing one to continue when
// a validator was kept beside it and it may still grow, else a fresh one,
// or none yet (`deferred`, see Body::partial_deferred).
struct PartialStart {
  ContainedFile file;
  uint64_t size = 0;  // bytes already there to continue
  std::string validator;
  bool deferred = false;
};

PartialStart OpenPartial(const ContainedFolder& folder, const DownloadTarget& target, bool web) {
  if (target.expected_size && *target.expected_size <= download::kWriteBufferSize &&
      target.stop_at == nullptr) {
    // The whole body fits in the write buffer. Nearly always nothing holds
    // the partial name; a look that makes nothing finds that out, and a
    // body that comes whole is then written once, under its final name: on
    // a release of many small files, no file is made and renamed apiece.
    const ContainedFile held = folder.OpenForAppending(target.partial_name);
    if (!held.Ok() && held.Error().number == ENOENT) {
      return {.file = ContainedFile(-1), .deferred = true};
    }
  }
  // Nearly always nothing holds the partial name, and one system call both
  // finds that out and makes the file.
  ContainedFile fresh = folder.CreateNewFile(target.partial_name);
  if (fresh.Ok() || fresh.Error().number != EEXIST) return {std::move(fresh)};
  if (web) {
    std::string validator = download::LoadValidator(folder, target);
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
  const std::string scheme = SchemeOf(url);
  return scheme == "http" || scheme == "https";
}

// True when a failed attempt keeps its partial data for a later attempt to
// continue: there is data, its validator is known and now written beside
// it, and nothing says the data is wrong.
bool KeepPartial(Body& body, const DownloadResult& result) {
  const bool resumable = !body.validator.empty() && body.resume_from + body.received > 0 &&
                         body.size_failure.empty() && result.http_status != 416 &&
                         (result.outcome == DownloadOutcome::kServerFailure ||
                          result.outcome == DownloadOutcome::kAborted);
  return resumable && (body.validator_saved || download::SaveValidator(body));
}

enum class FinalWrite { kWritten, kNameHeld, kFailed };

// Writes the complete, buffered body of a download that deferred its
// partial file straight to the final name. kNameHeld, with nothing done,
// when an entry holds that name (a file that failed its check: it is
// replaced through the partial file, as always); a failed write removes
// the file it made and keeps the cause.
FinalWrite WriteToFinal(Body& body) {
  ContainedFile file = body.folder->CreateNewFile(body.target->name);
  if (!file.Ok()) {
    if (file.Error().number == EEXIST) return FinalWrite::kNameHeld;
    body.write_errno = file.Error().number;
    return FinalWrite::kFailed;
  }
  body.fd = file.get();
  const bool written = download::FlushBuffer(body);
  body.fd = -1;
  file.Close();
  if (!written) {
    (void)body.folder->Remove(body.target->name);
    return FinalWrite::kFailed;
  }
  body.in_final = true;
  return FinalWrite::kWritten;
}

// Puts what the buffer still holds on the disk, so a full disk shows here,
// and judges the transfer. A complete body whose partial file was deferred
// goes to its final name; otherwise the partial file (made now if need be)
// gets the bytes when the body is complete or may be kept for resuming.
DownloadResult EndBody(const TransportEnd& end, Body& body, const std::string& shown_partial,
                       long stall_seconds) {
  const bool complete = end.kind == TransportEnd::Kind::kComplete;
  if (complete && body.write_errno == 0 && body.fd < 0 && body.partial_deferred &&
      Classify(end, body, shown_partial, stall_seconds).Ok()) {
    switch (WriteToFinal(body)) {
      case FinalWrite::kWritten:
        return Classify(end, body, shown_partial, stall_seconds);
      case FinalWrite::kFailed:
        return Classify(end, body, ShownPathBelow(body.target->folder, body.target->name),
                        stall_seconds);
      case FinalWrite::kNameHeld:
        break;
    }
  }
  if (body.write_errno == 0 && (complete || !body.validator.empty())) {
    (void)download::FlushBuffer(body);
  }
  return Classify(end, body, shown_partial, stall_seconds);
}

// Renames a complete partial file to the final name (unless the body went
// there straight); a failed attempt keeps its partial data or removes it.
DownloadResult Finish(const DownloadTarget& target, Body& body, DownloadResult result,
                      TransferCallback& callback) {
  const ContainedFolder& folder = *body.folder;
  if (result.stopped_at_range) {
    // The parts after this one come on other connections: the partial file
    // and its validator stay.
    if (!body.validator_saved) (void)download::SaveValidator(body);
    return result;
  }
  if (result.Ok()) {
    // The validator goes first: a crash in between leaves a partial file
    // without one, which is fetched again, never a validator without its file.
    download::DropValidator(body);
    const ContainedStatus renamed =
        body.in_final ? ContainedStatus{} : folder.Rename(target.partial_name, target.name);
    if (!renamed.Ok()) {
      result = Failed(DownloadOutcome::kLocalFailure, result.http_status, renamed.error.message);
    }
  }
  if (result.Ok()) {
    // A last report with the full count, so the byte counter ends at the
    // file's size. The file is complete, so an abort arriving now changes nothing.
    const uint64_t size = body.offset + body.received;
    (void)callback.OnProgress(size, size);
    return result;
  }
  result.partial_kept = KeepPartial(body, result);
  if (!result.partial_kept) {
    download::DropValidator(body);
    (void)folder.Remove(target.partial_name);
  }
  return result;
}

}  // namespace

struct DownloadService::Handle {
  explicit Handle(ConnectionHub* hub)
      : own_hub(hub != nullptr ? nullptr : std::make_unique<ConnectionHub>(1)),
        hub(hub != nullptr ? *hub : *own_hub),
        transport(download::MakeTransport(this->hub)) {}

  ConnectionHub& Hub() { return hub; }

  std::unique_ptr<ConnectionHub> own_hub;  // declared first: it outlives the transport
  ConnectionHub& hub;
  std::unique_ptr<download::Transport> transport;
  std::unique_ptr<char[]> write_buffer;
  // The folder of the last download, kept open while the next ones go to
  // the same folder.
  ContainedFolder folder;

  // Why a download cannot start at all: the run was cancelled, or the
  // transport could not be set up.
  std::optional<DownloadResult> CannotStart(const TransferCallback& callback) const {
    if (callback.AbortRequested()) return Failed(DownloadOutcome::kAborted, 0, "aborted");
    if (std::string unready = transport->Unready(); !unready.empty()) {
      return Failed(DownloadOutcome::kLocalFailure, 0, std::move(unready));
    }
    return std::nullopt;
  }

  char* WriteBuffer() {
    if (!write_buffer) {
      write_buffer = std::make_unique_for_overwrite<char[]>(download::kWriteBufferSize);
    }
    return write_buffer.get();
  }

  const ContainedFolder& FolderFor(const std::filesystem::path& path) {
    if (!folder.StillNamedBy(path)) folder = ContainedFolder::Hold(path, true);
    return folder;
  }
};

DownloadService::DownloadService(ConnectionHub* hub) : handle_(std::make_unique<Handle>(hub)) {}

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
      AppendPercentEscape(wire, c);
    } else {
      wire += c;
    }
  }
  return wire;
}

DownloadResult DownloadService::Download(const std::string& url, const DownloadTarget& target,
                                         TransferCallback& callback) {
  TransferSpan span(callback);
  if (std::optional<DownloadResult> refused = handle_->CannotStart(callback)) return *refused;
  const std::string shown_partial = ShownPathBelow(target.folder, target.partial_name);
  if (target.partial_name.empty() || SameNameBelow(target.name, target.partial_name)) {
    return Failed(
        DownloadOutcome::kLocalFailure, 0,
        "no partial file name apart from \"" + ShownPathBelow(target.folder, target.name) + "\"");
  }
  const ContainedFolder& folder = handle_->FolderFor(target.folder);
  if (!folder.Ok()) return Failed(DownloadOutcome::kLocalFailure, 0, folder.Error().message);
  PartialStart start = OpenPartial(folder, target, IsWebUrl(url));
  if (!start.deferred && !start.file.Ok())
    return Failed(DownloadOutcome::kLocalFailure, 0, start.file.Error().message);

  Body body{.callback = &callback,
            .fd = start.file.get(),
            .buffer = handle_->WriteBuffer(),
            .expected_size = target.expected_size,
            .size_limit = target.size_limit,
            .resume_from = start.size,
            .stop_at = target.stop_at,
            .shown_done = target.shown_done,
            .validator = std::move(start.validator),
            .validator_saved = start.size > 0,
            .stall_bytes = stall_bytes_,
            .stall_timeout = stall_timeout_,
            .folder = &folder,
            .target = &target,
            .partial = &start.file,
            .rate_limit = &handle_->Hub().Limit(),
            .partial_deferred = start.deferred};
  if (target.written != nullptr) target.written->Begin(start.size);
  const TransportEnd end = handle_->transport->Fetch(EncodeForWire(url), body, stall_timeout_);
  const DownloadResult result =
      EndBody(end, body, shown_partial, static_cast<long>(stall_timeout_.count()));
  start.file.Close();
  return Finish(target, body, result, callback);
}

DownloadResult DownloadService::DownloadRange(const std::string& url, const RangeTarget& target,
                                              TransferCallback& callback) {
  TransferSpan span(callback);
  if (std::optional<DownloadResult> refused = handle_->CannotStart(callback)) return *refused;
  const std::string shown_partial = ShownPathBelow(target.folder, target.partial_name);
  const ContainedFolder& folder = handle_->FolderFor(target.folder);
  if (!folder.Ok()) return Failed(DownloadOutcome::kLocalFailure, 0, folder.Error().message);
  ContainedFile file = folder.OpenForWriting(target.partial_name);
  if (!file.Ok()) return Failed(DownloadOutcome::kLocalFailure, 0, file.Error().message);
  if (const int number = SeekTo(file.get(), target.start); number != 0) {
    return Failed(DownloadOutcome::kLocalFailure, 0, download::WriteFailure(shown_partial, number));
  }
  // The part's own description, as a whole file's download would have it:
  // where it goes, what sees its bytes, what must not be exceeded.
  const DownloadTarget whole{.folder = target.folder,
                             .partial_name = target.partial_name,
                             .size_limit = target.file_size,
                             .past_caches = target.past_caches,
                             .written = target.written};
  Body body{.callback = &callback,
            .fd = file.get(),
            .buffer = handle_->WriteBuffer(),
            .size_limit = target.file_size,
            .resume_from = target.start,
            .range_only = true,
            .range_end = target.end->load(),
            .stop_at = target.end,
            .shown_done = target.shown_done,
            .validator = target.validator,
            .validator_saved = true,
            .stall_bytes = stall_bytes_,
            .stall_timeout = stall_timeout_,
            .folder = &folder,
            .target = &whole,
            .partial = &file,
            .rate_limit = &handle_->Hub().Limit()};
  if (target.written != nullptr) target.written->Begin(target.start);
  const TransportEnd end = handle_->transport->Fetch(EncodeForWire(url), body, stall_timeout_);
  // Whatever was taken is the part asked for: it goes to the disk too when
  // the transfer ended early, and counts as done.
  if (body.write_errno == 0) (void)download::FlushBuffer(body);
  file.Close();
  return Classify(end, body, shown_partial, static_cast<long>(stall_timeout_.count()));
}

void DownloadService::DropPartial(const DownloadTarget& target) {
  const ContainedFolder& folder = handle_->FolderFor(target.folder);
  (void)folder.Remove(ValidatorNameOf(target.partial_name));
  (void)folder.Remove(target.partial_name);
}

bool DownloadService::ReadPartial(const DownloadTarget& target, uint64_t from, uint64_t to,
                                  WrittenBytes& into) {
  const ContainedFolder& folder = handle_->FolderFor(target.folder);
  if (!folder.Ok()) return false;
  ContainedFile file = folder.OpenForReading(target.partial_name);
  if (!file.Ok() || SeekTo(file.get(), from) != 0) return false;
  char* buffer = handle_->WriteBuffer();
  while (from < to) {
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(to - from, download::kWriteBufferSize));
    const long long got = ReadSome(file.get(), buffer, want);
    if (got <= 0) return false;
    into.Add(buffer, static_cast<size_t>(got));
    from += static_cast<uint64_t>(got);
  }
  return true;
}

DownloadResult DownloadService::FinishParts(const DownloadTarget& target) {
  const ContainedFolder& folder = handle_->FolderFor(target.folder);
  if (!folder.Ok()) return Failed(DownloadOutcome::kLocalFailure, 0, folder.Error().message);
  // The validator (with the parts' map) goes first, as for a whole download.
  (void)folder.Remove(ValidatorNameOf(target.partial_name));
  const ContainedStatus renamed = folder.Rename(target.partial_name, target.name);
  if (!renamed.Ok()) return Failed(DownloadOutcome::kLocalFailure, 0, renamed.error.message);
  return {};
}

namespace {

// At most this many parts are kept; a longer list is no list of ours.
constexpr size_t kMostKeptParts = 256;

std::optional<uint64_t> Offset(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Reads "parts S-E S-E ...": ranges in order, apart, within `size`.
std::optional<std::vector<std::pair<uint64_t, uint64_t>>> PartsOf(std::string_view line,
                                                                  uint64_t size) {
  if (!line.starts_with("parts")) return std::nullopt;
  std::vector<std::pair<uint64_t, uint64_t>> parts;
  std::istringstream words{std::string(line.substr(5))};
  for (std::string word; words >> word;) {
    const size_t dash = word.find('-');
    if (dash == std::string::npos || parts.size() == kMostKeptParts) return std::nullopt;
    const std::optional<uint64_t> start = Offset(std::string_view(word).substr(0, dash));
    const std::optional<uint64_t> end = Offset(std::string_view(word).substr(dash + 1));
    const uint64_t floor = parts.empty() ? 0 : parts.back().second;
    if (!start || !end || *start < floor || *end <= *start || *end > size) return std::nullopt;
    parts.emplace_back(*start, *end);
  }
  if (parts.empty()) return std::nullopt;
  return parts;
}

}  // namespace

std::optional<DownloadService::KeptParts> DownloadService::LoadParts(const DownloadTarget& target) {
  if (!target.expected_size) return std::nullopt;
  const ContainedFolder& folder = handle_->FolderFor(target.folder);
  const ContainedFile partial = folder.OpenForReading(target.partial_name);
  if (!partial.Ok() || partial.Size() > *target.expected_size) return std::nullopt;
  ContainedFile file = folder.OpenForReading(ValidatorNameOf(target.partial_name));
  if (!file.Ok()) return std::nullopt;
  char text[4096];
  const long long got = ReadSome(file.get(), text, sizeof text);
  if (got <= 0 || static_cast<size_t>(got) == sizeof text) return std::nullopt;
  const std::string_view kept(text, static_cast<size_t>(got));
  const size_t newline = kept.find('\n');
  if (newline == std::string_view::npos) return std::nullopt;
  const std::string_view validator = kept.substr(0, newline);
  auto parts = PartsOf(download::Trimmed(kept.substr(newline + 1)), *target.expected_size);
  if (!download::UsableValidator(validator) || !parts) return std::nullopt;
  return KeptParts{std::string(validator), std::move(*parts)};
}

bool DownloadService::SaveParts(const DownloadTarget& target, const KeptParts& parts) {
  std::string text = parts.validator + "\nparts";
  for (const auto& [start, end] : parts.missing) {
    text += " " + std::to_string(start) + "-" + std::to_string(end);
  }
  text += "\n";
  const ContainedFolder& folder = handle_->FolderFor(target.folder);
  const std::string name = ValidatorNameOf(target.partial_name);
  ContainedFile file = folder.CreateFreshFile(name);
  if (!file.Ok()) return false;
  if (WriteAll(file.get(), text.data(), text.size()) != 0) {
    file.Close();
    (void)folder.Remove(name);
    return false;
  }
  return true;
}

}  // namespace brenvik
