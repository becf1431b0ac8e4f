#include "run/download_worker.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>

#include "catalogue/catalogue.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "platform/utf8_path.h"
#include "run/arrival_digest.h"
#include "run/download_crew.h"
#include "run/job_table.h"
#include "run/part_board.h"
#include "run/pause.h"
#include "run/run_context.h"
#include "run/run_flags.h"
#include "run/server_pool.h"
#include "run/verification_worker.h"
#include "texts/run_texts.h"
#include "transfer/disk_space.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"
#include "transfer/url_text.h"

namespace brenvik {

std::string DownloadFailureMessage(const std::string& url, const std::string& contact) {
  return Format(kDownloadFailureFormat, url.c_str(), contact.c_str());
}

std::chrono::milliseconds BackOff(std::chrono::milliseconds pause, int failures) {
  int pauses = 1;
  for (int i = 1; i < failures && pauses < kLongestBackOffPauses; ++i) pauses *= 2;
  return pause * std::min(pauses, kLongestBackOffPauses);
}

namespace {

// The slice a long wait is cut into, so the abort flag ends it soon even
// before a stop is requested.
constexpr std::chrono::milliseconds kWaitSlice{100};
// How often the owner of a file in parts looks whether they are all there.
constexpr std::chrono::milliseconds kPartWait{20};
// How often a lane with nothing to do looks for a part while large files
// come: a part is worth taking once its rate was seen (kRateWatch).
constexpr std::chrono::milliseconds kSeekWait{50};
// How much of the others' parts their owner reads for its digest between
// two looks at the abort flag.
constexpr uint64_t kCatchUpSlice = 8ull << 20;

// The question after a failure that the user must decide on. A local fault
// (a folder that cannot be written, a full disk) is this computer's: asking
// the user to contact support about it would send them the wrong way.
std::string FailureQuestion(const DownloadResult& result, const std::string& url,
                            const std::string& contact) {
  if (result.outcome == DownloadOutcome::kLocalFailure) {
    return Format(kLocalFailureFormat, result.reason.c_str());
  }
  std::string question = DownloadFailureMessage(url, contact);
  if (!result.reason.empty()) question += "\n" + result.reason;
  return question;
}

// What one pass over a row tells the worker's loop.
enum class Pass { kGoOn, kLeave };

// One worker: its own download service (one connection, reused from one
// file to the next) and its lane of the crew.
class DownloadWorker {
 public:
  DownloadWorker(std::stop_token stop, RunContext& context, DownloadCrew& crew, int lane)
      : stop_(std::move(stop)),
        context_(context),
        crew_(crew),
        lane_index_(lane),
        lane_(crew.Lane(lane)),
        own_service_(&context.hub),
        service_(lane == 0 && context.first_service != nullptr ? *context.first_service
                                                               : own_service_) {
    service_.SetStallTimeout(context.config.stall_timeout);
  }

  void Run() {
    JobTable& table = context_.table;
    while (!Stopping()) {
      const uint64_t seen = table.StateRevision();
      const int row = crew_.Closing() ? -1 : table.TakeDownload();
      if (row < 0 || row >= context_.catalogue.RowCount()) {
        table.ReleaseDownload(row);
        // With no file to start, the lane helps with a large one under way,
        // unless the connections carry many transfers each (HTTP/2): a part
        // would then travel on the same connection as the rest.
        const bool may_help = !crew_.Closing() && !context_.hub.Multiplexing();
        if (may_help && HelpWithAPart() == Pass::kLeave) break;
        // While a large file comes, a part of it may soon be worth taking.
        const auto wait = may_help && crew_.Parts().AnyOpen()
                              ? std::min(context_.config.pause, kSeekWait)
                              : context_.config.pause;
        table.WaitForWork(JobState::PendingDownload, seen, wait, stop_);
        continue;
      }
      crew_.Parts().NotSeeking(lane_index_);
      const Pass pass = Fetch(row);
      lane_.Leave();
      table.ReleaseDownload(row);
      if (pass == Pass::kLeave) break;
    }
  }

 private:
  void Post(RunRequest request) {
    if (context_.post_request) context_.post_request(request);
  }

  // Asks under the crew's question lock, held by the caller.
  bool AskToRetry(const std::string& question) {
    if (context_.prompt.Ask(question, PromptButtons::kRetryCancel, PromptIcon::kNone) ==
        PromptAnswer::kRetry) {
      return true;
    }
    // The face ends the run; until the abort flag arrives no worker fetches
    // or asks anything more.
    crew_.Close();
    Post(RunRequest::kClose);
    return false;
  }

  // Makes sure the disk has room for the row's file and reserves it in the
  // lane; false when the user refused to free space: the program ends.
  bool RoomFor(int row, const CatalogueEntry& entry) {
    std::lock_guard lock(crew_.QuestionMutex());
    if (crew_.Closing()) return true;  // nothing more is fetched anyway
    // The other workers' downloads land on the same disk meanwhile.
    const uint64_t need = entry.size + crew_.BytesInFlight(lane_index_);
    // The file's folder is asked, not the file, which is not there yet:
    // one lookup fewer per file on a release of many small ones.
    const std::string folder =
        Utf8Of(PathFromUtf8(LocalPath(context_.download_folder, entry.name)).parent_path());
    if (!CheckDiskSpace(folder, need, kProgramAbortedLine, context_.prompt, context_.free_space)) {
      crew_.Close();
      return false;
    }
    lane_.Enter(row, entry.size);  // reserved before the next worker looks
    return true;
  }

  Pass Fetch(int row) {
    const CatalogueEntry& entry = context_.catalogue.Entry(row);
    if (crew_.Fetches(row) >= kFetchesBeforeAsking) {
      std::lock_guard lock(crew_.QuestionMutex());
      const std::string url = FileUrl(std::max(context_.servers.LastOf(row), 0), entry);
      if (!crew_.Closing() &&
          AskToRetry(DownloadFailureMessage(url, context_.config.support_contact) + "\n" +
                     Format(kCheckFailedReasonFormat, kFetchesBeforeAsking))) {
        crew_.ResetFetches(row);
      }
      return Pass::kGoOn;
    }
    if (!RoomFor(row, entry)) {
      Post(RunRequest::kQuit);
      return Pass::kLeave;
    }
    if (crew_.Closing()) return Pass::kGoOn;
    const ServerLease server(context_.servers, row);
    if (entry.size >= kSplitFrom && !crew_.Unsplittable(row)) {
      return FetchInParts(row, entry, server.Server());
    }
    ArrivalDigest arrival;
    DownloadTarget target = TargetOf(row, entry);
    target.written = &arrival;
    const DownloadResult result =
        service_.Download(WireUrlOf(server.Server(), entry), target, lane_.Callback());
    return Downloaded(row, entry, result, server.Server(), arrival);
  }

  // The file's address on `server` as messages show it.
  std::string FileUrl(int server, const CatalogueEntry& entry) const {
    return context_.servers.At(server).file_url_prefix + entry.name;
  }

  // The name is encoded whole ('%' included), so it reaches the server as it is.
  std::string WireUrlOf(int server, const CatalogueEntry& entry) const {
    return context_.servers.At(server).wire_url_prefix + EncodedNamePath(entry.name);
  }

  DownloadTarget TargetOf(int row, const CatalogueEntry& entry) const {
    return DownloadTarget{.folder = PathFromUtf8(context_.download_folder),
                          .name = entry.name,
                          .partial_name = entry.partial_name,
                          .expected_size = entry.size,
                          .past_caches = crew_.PastCaches(row)};
  }

  // What a whole download's end means for its row.
  Pass Downloaded(int row, const CatalogueEntry& entry, const DownloadResult& result, int server,
                  ArrivalDigest& arrival) {
    if (Stopping() || result.outcome == DownloadOutcome::kAborted) return Pass::kLeave;
    if (result.Ok()) {
      context_.servers.Served(server);
      Judge(row, entry, arrival);
      return Pass::kGoOn;  // a good download goes straight on to the next row
    }
    Failed(row, result, server);
    return Pass::kGoOn;
  }

  // A file is downloaded. One whose every byte was hashed on its way to
  // the disk has its verdict now, on this thread; any other (one that went
  // on from a kept part, say) is read by the check.
  void Judge(int row, const CatalogueEntry& entry, ArrivalDigest& arrival) {
    context_.table.SetStatus(row, {RowPhase::kDownloaded});
    crew_.ResetFailures();
    crew_.CountFetch(row);
    const std::optional<bool> passed = arrival.Matches(entry.size, entry.checksum);
    if (passed) {
      ShowVerdict(context_.table, row, *passed, context_.servers.HostShownFor(row));
      HandOnChecked(context_, row, *passed);
    } else {
      context_.table.SetState(row, JobState::PendingCheck);
    }
  }

  bool Stopping() const { return context_.flags.abort.load() || stop_.stop_requested(); }

  // A large file: fetched whole, while lanes that would otherwise idle take
  // parts of it once the server showed it serves them; or, when a cut
  // download left parts missing, those parts.
  Pass FetchInParts(int row, const CatalogueEntry& entry, int server) {
    PartBoard& board = crew_.Parts();
    const DownloadTarget target = TargetOf(row, entry);
    if (const std::optional<DownloadService::KeptParts> kept = service_.LoadParts(target)) {
      ArrivalDigest unhashed;  // the kept parts were written by an earlier run
      unhashed.GiveUp();
      return OwnParts(row, entry, board.OpenKept(row, entry.size, *kept), unhashed);
    }
    SplitFile& file = board.Open(row, entry.size, lane_index_);
    file.server.store(server);
    // Lanes with nothing to do may take parts of it soon; over HTTP/2 no
    // lane takes parts.
    if (!context_.hub.Multiplexing()) context_.table.CallIdleDownloadWorkers();
    lane_.Enter(row, entry.size, &file.done, entry.size);
    ArrivalDigest arrival;
    PartCounter counter(board, file, file.parts.front(), &arrival);
    DownloadTarget whole = target;
    whole.written = &counter;
    whole.stop_at = &file.parts.front().end;
    whole.shown_done = &file.done;
    whole.ranges_offered = [&](const std::string& validator) { board.Offer(file, validator); };
    board.SetWholeRunning(file, true);
    const DownloadResult result =
        service_.Download(WireUrlOf(server, entry), whole, lane_.Callback());
    board.SetWholeRunning(file, false);
    board.Release(file.parts.front());
    if (result.Ok() || result.stopped_at_range) context_.servers.Served(server);
    if (result.stopped_at_range) return OwnParts(row, entry, file, arrival);
    if (!result.Ok() && result.partial_kept && board.Split(file)) {
      // The parts the others fetched stay; the first part goes on as a part
      // (or, cancelled, is kept with the others' for the next run).
      if (!Stopping()) Failed(row, result, server);
      return OwnParts(row, entry, file, arrival);
    }
    // The whole file came, or nothing of it is worth keeping: once no lane
    // writes into it any more, it ends as a whole download does.
    if (!result.Ok()) board.Break(file);
    WaitUntilIdle(file);
    if (!result.Ok() && result.outcome != DownloadOutcome::kAborted && !result.partial_kept) {
      service_.DropPartial(target);
    }
    board.Close(file);
    return Downloaded(row, entry, result, server, arrival);
  }

  // The owner of a file in parts fetches its free parts and waits for the
  // others' until every part is there, then renames the file into place.
  // Meanwhile it carries the digest of the file's first bytes (`arrival`,
  // given up for a file continued from a cut run) on over what the others
  // wrote, so the file has its verdict once the last part is in. Cut
  // short, it keeps what is missing beside the partial file; when the
  // server would not serve a part, the file starts over.
  Pass OwnParts(int row, const CatalogueEntry& entry, SplitFile& file, ArrivalDigest& arrival) {
    PartBoard& board = crew_.Parts();
    const DownloadTarget target = TargetOf(row, entry);
    lane_.Enter(row, entry.size, &file.done, entry.size);
    while (!Stopping() && !board.Broken(file) && !board.Complete(file)) {
      CatchUp(file, target, arrival);
      if (std::optional<PartJob> job = board.TakeOf(file, lane_index_)) {
        int server = -1;
        const DownloadResult result = FetchPart(*job, &file.done, server);
        board.Release(*job->part);
        const bool failed =
            !result.Ok() && result.outcome != DownloadOutcome::kAborted && !result.range_refused;
        if (failed && !Stopping()) Failed(row, result, server);
      } else {
        KeepShowing(file);
      }
    }
    if (lane_.Callback().TransferRunning()) lane_.Callback().TransferEnded();
    WaitUntilIdle(file);
    CatchUp(file, target, arrival);
    const Pass pass = EndParts(row, target, file, arrival);
    board.Close(file);
    return pass;
  }

  // Hashes, from the partial file, what was written without a gap after
  // what the digest holds: the others' parts, read back from the cache
  // they were just written to, a slice at a time so a cancel is seen. A
  // digest that cannot go on is given up (the check then reads the file).
  void CatchUp(SplitFile& file, const DownloadTarget& target, ArrivalDigest& arrival) {
    const std::optional<uint64_t> start = arrival.Hashed();
    if (!start) return;
    const uint64_t prefix = crew_.Parts().WrittenPrefix(file);
    for (uint64_t hashed = *start; hashed < prefix;) {
      const uint64_t to = std::min(prefix, hashed + kCatchUpSlice);
      if (Stopping() || !service_.ReadPartial(target, hashed, to, arrival)) {
        arrival.GiveUp();
        return;
      }
      hashed = to;
    }
  }

  Pass EndParts(int row, const DownloadTarget& target, SplitFile& file, ArrivalDigest& arrival) {
    PartBoard& board = crew_.Parts();
    if (board.Broken(file)) {
      service_.DropPartial(target);
      crew_.MarkUnsplittable(row);
      return Stopping() ? Pass::kLeave : Pass::kGoOn;
    }
    if (!board.Complete(file)) {
      (void)service_.SaveParts(target, board.Kept(file));
      return Pass::kLeave;
    }
    const DownloadResult finished = service_.FinishParts(target);
    if (!finished.Ok()) {
      Failed(row, finished, std::max(context_.servers.LastOf(row), 0));
      return Pass::kGoOn;
    }
    Judge(row, context_.catalogue.Entry(row), arrival);
    return Pass::kGoOn;
  }

  // Fetches a part, still held when this returns, from the file's server
  // while it is awake (its validator is that server's; another server's
  // answer to it shows whether it holds the same file); `server` is set to
  // the one asked. `shown` is the count its progress shows (the owner's),
  // or none (a helper's: the owner shows the file's). A refused part
  // breaks the file.
  DownloadResult FetchPart(const PartJob& job, const std::atomic<uint64_t>* shown, int& server) {
    const CatalogueEntry& entry = context_.catalogue.Entry(job.file->row);
    PartCounter counter(crew_.Parts(), *job.file, *job.part);
    const ServerLease lease(context_.servers, job.file->row, job.file->server.load());
    server = lease.Server();
    const DownloadResult result =
        service_.DownloadRange(WireUrlOf(server, entry),
                               RangeTarget{.folder = PathFromUtf8(context_.download_folder),
                                           .partial_name = entry.partial_name,
                                           .validator = job.validator,
                                           .start = job.from,
                                           .end = &job.part->end,
                                           .file_size = entry.size,
                                           .past_caches = crew_.PastCaches(job.file->row),
                                           .written = &counter,
                                           .shown_done = shown},
                               lane_.Callback());
    if (result.range_refused) crew_.Parts().Break(*job.file);
    if (result.Ok()) context_.servers.Served(server);
    return result;
  }

  // A lane with no file to start takes a part of a large one under way.
  Pass HelpWithAPart() {
    const std::optional<PartJob> job = crew_.Parts().TakeAny(lane_index_);
    if (!job) return Pass::kGoOn;
    const int row = job->file->row;
    lane_.Enter(row, 0, &job->file->done, job->file->size);
    int server = -1;
    const DownloadResult result = FetchPart(*job, nullptr, server);
    // Read while the part is held: once released, its owner may end the file.
    const bool broken = crew_.Parts().Broken(*job->file);
    lane_.Leave();
    crew_.Parts().Release(*job->part);
    if (Stopping() || result.outcome == DownloadOutcome::kAborted) return Pass::kLeave;
    // A part of a file the server would not split is no failure of this lane's.
    if (!result.Ok() && !result.range_refused && !broken) {
      Failed(row, result, server);
    }
    return Pass::kGoOn;
  }

  // While the others' parts come: the row and the statistics keep the
  // file's count, and the abort flag is seen.
  void KeepShowing(SplitFile& file) {
    TransferCallback& callback = lane_.Callback();
    if (!callback.TransferRunning()) callback.TransferStarted();
    (void)callback.OnProgress(file.done.load(), file.size);
    PauseFor(kPartWait, stop_);
  }

  // Until no lane writes into the file any more; they stop soon once the
  // file broke or the run was cancelled.
  void WaitUntilIdle(SplitFile& file) {
    while (!crew_.Parts().Idle(file)) PauseFor(kPartWait, std::stop_token());
  }

  // With other servers awake, a server that failed by itself rests and
  // another takes the row at once: no failure of the row's, no wait.
  void Failed(int row, const DownloadResult& result, int server) {
    if (ServerPool::ServerFault(result) && context_.servers.Rest(server, result.retry_after)) {
      context_.table.SetStatus(row, RowStatus::OtherServer(WithHost(result.reason, server)));
      return;
    }
    const int failures = crew_.CountFailure();
    if (result.wrong_size) crew_.MarkStale(row);
    // Retrying cannot mend a local fault, nor a permanent one; the user is
    // asked at once. Any other failure leaves the row saying why, and that
    // another try follows.
    const bool local = result.outcome == DownloadOutcome::kLocalFailure || result.permanent;
    const std::optional<std::chrono::seconds> server_wait =
        local || !result.retry_after
            ? std::nullopt
            : std::optional(std::min(*result.retry_after, kLongestServerWait));
    DownloadResult shown = result;
    if (result.outcome != DownloadOutcome::kLocalFailure) {
      shown.reason = WithHost(result.reason, server);
    }
    context_.table.SetStatus(row, FailedStatus(shown, server_wait, failures));
    if (local || failures > kFailuresBeforeAsking) {
      std::lock_guard lock(crew_.QuestionMutex());
      // Another worker's question may have been answered meanwhile: its
      // Retry started the count afresh, its Cancel ends the run.
      const bool still = local || crew_.Failures() > kFailuresBeforeAsking;
      const std::string url = FileUrl(server, context_.catalogue.Entry(row));
      if (still && !crew_.Closing() &&
          AskToRetry(FailureQuestion(result, url, context_.config.support_contact))) {
        crew_.ResetFailures();
      }
    }
    // Retries of a failing download back off, or wait as the server asked.
    Wait(server_wait ? std::chrono::milliseconds(*server_wait)
                     : BackOff(context_.config.pause, std::max(crew_.Failures(), 1)));
  }

  // A failure's reason with the server it came from, when there are several
  // and the reason does not name it already.
  std::string WithHost(const std::string& reason, int server) const {
    if (!context_.servers.Several()) return reason;
    const std::string& host = context_.servers.At(server).host;
    if (reason.find(host) != std::string::npos) return reason;
    return reason.empty() ? "from " + host : reason + " from " + host;
  }

  RowStatus FailedStatus(const DownloadResult& result,
                         std::optional<std::chrono::seconds> server_wait, int failures) const {
    if (result.outcome == DownloadOutcome::kLocalFailure || result.permanent) {
      return RowStatus::LocalFailure(result.reason);
    }
    if (server_wait) {
      return RowStatus::RetryWaiting(static_cast<uint32_t>(server_wait->count()), failures,
                                     kFailuresBeforeAsking + 1, result.reason);
    }
    return RowStatus::AttemptFailed(failures, kFailuresBeforeAsking + 1, result.reason);
  }

  // Waits `duration` by the run's clock, ending early on a stop request or
  // the abort flag. The thread sleeps in slices of real time, so a test's
  // clock that runs ahead ends the wait as soon as it has passed.
  void Wait(std::chrono::milliseconds duration) {
    const std::chrono::milliseconds end = context_.clock() + duration;
    while (!Stopping()) {
      const std::chrono::milliseconds left = end - context_.clock();
      if (left.count() <= 0) return;
      PauseFor(std::min(left, kWaitSlice), stop_);
    }
  }

  std::stop_token stop_;
  RunContext& context_;
  DownloadCrew& crew_;
  int lane_index_;
  DownloadLane& lane_;
  DownloadService own_service_;
  DownloadService& service_;  // own_service_, or the setup step's for the first lane
};

}  // namespace

void RunDownloadWorker(std::stop_token stop, RunContext& context, DownloadCrew& crew, int lane) {
  DownloadWorker(std::move(stop), context, crew, lane).Run();
  if (crew.LastToLeave()) context.flags.download_worker_done.store(true);
}

}  // namespace brenvik
