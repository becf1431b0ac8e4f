#include "run/download_worker.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <utility>

#include "catalogue/catalogue.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "run/job_table.h"
#include "run/pause.h"
#include "run/run_context.h"
#include "run/run_flags.h"
#include "texts/run_texts.h"
#include "transfer/disk_space.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"

namespace brenvik {

std::string DownloadFailureMessage(const std::string& url, const std::string& contact) {
  return "Couldn't download \"" + url + "\".\nPlease contact " + contact + " for assistance.";
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

// One worker: its own download service (one connection, reused) and what
// it keeps between rows.
class DownloadWorker {
 public:
  DownloadWorker(std::stop_token stop, RunContext& context)
      : stop_(std::move(stop)), context_(context) {
    service_.SetStallTimeout(context.config.stall_timeout);
  }

  void Run() {
    JobTable& table = context_.table;
    while (!context_.flags.abort.load() && !stop_.stop_requested()) {
      const uint64_t seen = table.StateRevision();
      const int row = closing_ ? -1 : table.FirstInState(JobState::PendingDownload);
      if (row < 0 || row >= context_.catalogue.RowCount()) {
        table.WaitForChange(seen, context_.config.pause, stop_);
        continue;
      }
      if (Fetch(row) == Pass::kLeave) break;
    }
  }

 private:
  void Post(RunRequest request) {
    if (context_.post_request) context_.post_request(request);
  }

  bool AskToRetry(const std::string& question) {
    if (context_.prompt.Ask(question, PromptButtons::kRetryCancel, PromptIcon::kNone) ==
        PromptAnswer::kRetry) {
      return true;
    }
    // The face ends the run; until the abort flag arrives nothing more is
    // fetched and nothing more is asked.
    closing_ = true;
    Post(RunRequest::kClose);
    return false;
  }

  Pass Fetch(int row) {
    const CatalogueEntry& entry = context_.catalogue.Entry(row);
    context_.table.SetCurrentDownloadRow(row);
    const std::string url = context_.file_url_prefix + entry.name;
    if (fetches_[row] >= kFetchesBeforeAsking) {
      if (AskToRetry(DownloadFailureMessage(url, context_.config.support_contact)))
        fetches_[row] = 0;
      return Pass::kGoOn;
    }
    if (!CheckDiskSpace(LocalPath(context_.download_folder, entry.name), entry.size,
                        kProgramAbortedLine, context_.prompt, context_.free_space)) {
      Post(RunRequest::kQuit);
      return Pass::kLeave;
    }
    const DownloadResult result =
        service_.Download(url,
                          DownloadTarget{.folder = context_.download_folder,
                                         .name = entry.name,
                                         .partial_name = entry.partial_name,
                                         .expected_size = entry.size},
                          context_.callback);
    if (context_.flags.abort.load() || result.outcome == DownloadOutcome::kAborted) {
      return Pass::kLeave;
    }
    if (result.Ok()) {
      context_.table.SetStatus(row, {RowPhase::kDownloaded});
      context_.table.SetState(row, JobState::PendingCheck);
      failures_ = 0;
      ++fetches_[row];
      return Pass::kGoOn;  // a good download goes straight on to the next row
    }
    Failed(row, result, url);
    return Pass::kGoOn;
  }

  void Failed(int row, const DownloadResult& result, const std::string& url) {
    ++failures_;
    // Retrying cannot mend a local fault; the user is asked at once. Any
    // other failure leaves the row saying why, and that another try follows.
    const bool local = result.outcome == DownloadOutcome::kLocalFailure;
    const std::optional<std::chrono::seconds> server_wait =
        local || !result.retry_after
            ? std::nullopt
            : std::optional(std::min(*result.retry_after, kLongestServerWait));
    context_.table.SetStatus(row, FailedStatus(result, server_wait));
    const bool ask = local || failures_ > kFailuresBeforeAsking;
    if (ask && AskToRetry(FailureQuestion(result, url, context_.config.support_contact)))
      failures_ = 0;
    // Retries of a failing download back off, or wait as the server asked.
    Wait(server_wait ? std::chrono::milliseconds(*server_wait)
                     : BackOff(context_.config.pause, failures_));
  }

  RowStatus FailedStatus(const DownloadResult& result,
                         std::optional<std::chrono::seconds> server_wait) const {
    if (result.outcome == DownloadOutcome::kLocalFailure) {
      return RowStatus::LocalFailure(result.reason);
    }
    if (server_wait) {
      return RowStatus::RetryWaiting(static_cast<uint32_t>(server_wait->count()), failures_,
                                     kFailuresBeforeAsking + 1, result.reason);
    }
    return RowStatus::AttemptFailed(failures_, kFailuresBeforeAsking + 1, result.reason);
  }

  // Waits `duration`, ending early on a stop request or the abort flag.
  void Wait(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!context_.flags.abort.load() && !stop_.stop_requested()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      PauseFor(std::min(left, kWaitSlice), stop_);
    }
  }

  std::stop_token stop_;
  RunContext& context_;
  DownloadService service_;
  int failures_ = 0;  // failed attempts in a row, over all rows
  // Fetches of each row since it was last handed back by a Retry; a row
  // only comes back here when its fresh file failed the check.
  std::unordered_map<int, int> fetches_;
  bool closing_ = false;
};

}  // namespace

void RunDownloadWorker(std::stop_token stop, RunContext& context) {
  DownloadWorker(std::move(stop), context).Run();
  context.flags.download_worker_done.store(true);
}

}  // namespace brenvik
