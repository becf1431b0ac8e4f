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
#include "run/pause.h"
#include "run/run_context.h"
#include "run/run_flags.h"
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
    while (!context_.flags.abort.load() && !stop_.stop_requested()) {
      const uint64_t seen = table.StateRevision();
      const int row = crew_.Closing() ? -1 : table.TakeDownload();
      if (row < 0 || row >= context_.catalogue.RowCount()) {
        table.ReleaseDownload(row);
        table.WaitForWork(JobState::PendingDownload, seen, context_.config.pause, stop_);
        continue;
      }
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
    const std::string url = context_.file_url_prefix + entry.name;
    if (crew_.Fetches(row) >= kFetchesBeforeAsking) {
      std::lock_guard lock(crew_.QuestionMutex());
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
    ArrivalDigest arrival;
    // The name is encoded whole ('%' included), so it reaches the server as it is.
    const DownloadResult result =
        service_.Download(context_.wire_url_prefix + EncodedNamePath(entry.name),
                          DownloadTarget{.folder = PathFromUtf8(context_.download_folder),
                                         .name = entry.name,
                                         .partial_name = entry.partial_name,
                                         .expected_size = entry.size,
                                         .past_caches = crew_.PastCaches(row),
                                         .written = &arrival},
                          lane_.Callback());
    if (context_.flags.abort.load() || result.outcome == DownloadOutcome::kAborted) {
      return Pass::kLeave;
    }
    if (result.Ok()) {
      context_.table.SetStatus(row, {RowPhase::kDownloaded});
      crew_.ResetFailures();
      crew_.CountFetch(row);
      // A file hashed whole as it arrived has its verdict now, on this
      // thread; one that went on from a kept part is read by the check.
      if (const std::optional<bool> passed = arrival.Matches(entry.size, entry.checksum)) {
        ShowVerdict(context_.table, row, *passed);
        HandOnChecked(context_, row, *passed);
      } else {
        context_.table.SetState(row, JobState::PendingCheck);
      }
      return Pass::kGoOn;  // a good download goes straight on to the next row
    }
    Failed(row, result, url);
    return Pass::kGoOn;
  }

  void Failed(int row, const DownloadResult& result, const std::string& url) {
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
    context_.table.SetStatus(row, FailedStatus(result, server_wait, failures));
    if (local || failures > kFailuresBeforeAsking) {
      std::lock_guard lock(crew_.QuestionMutex());
      // Another worker's question may have been answered meanwhile: its
      // Retry started the count afresh, its Cancel ends the run.
      const bool still = local || crew_.Failures() > kFailuresBeforeAsking;
      if (still && !crew_.Closing() &&
          AskToRetry(FailureQuestion(result, url, context_.config.support_contact))) {
        crew_.ResetFailures();
      }
    }
    // Retries of a failing download back off, or wait as the server asked.
    Wait(server_wait ? std::chrono::milliseconds(*server_wait)
                     : BackOff(context_.config.pause, std::max(crew_.Failures(), 1)));
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
    while (!context_.flags.abort.load() && !stop_.stop_requested()) {
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
