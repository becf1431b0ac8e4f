#include "run/download_worker.h"

#include <filesystem>
#include <unordered_map>

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

std::string FailedAttemptText(int attempt, const std::string& reason) {
  return Format(kRetryingFormat, attempt, kFailuresBeforeAsking + 1, reason.c_str());
}

namespace {

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

// What one worker keeps between rows.
struct WorkerState {
  int failures = 0;  // failed attempts in a row, over all rows
  // Fetches of each row since it was last handed back by a Retry; a row
  // only comes back here when its fresh file failed the check.
  std::unordered_map<int, int> fetches;
  bool closing = false;
};

}  // namespace

void RunDownloadWorker(std::stop_token stop, RunContext& context) {
  JobTable& table = context.table;
  DownloadService service;
  service.SetStallTimeout(context.stall_timeout);
  WorkerState state;

  auto post = [&](RunRequest request) {
    if (context.post_request) context.post_request(request);
  };
  auto ask_to_retry = [&](const std::string& question) {
    if (context.prompt.Ask(question, PromptButtons::kRetryCancel, PromptIcon::kNone) ==
        PromptAnswer::kRetry) {
      return true;
    }
    // The face ends the run; until the abort flag arrives nothing more is
    // fetched and nothing more is asked.
    state.closing = true;
    post(RunRequest::kClose);
    return false;
  };

  while (!context.flags.abort.load() && !stop.stop_requested()) {
    const uint64_t seen = table.StateRevision();
    const int row = state.closing ? -1 : table.FirstInState(JobState::PendingDownload);
    if (row < 0 || row >= context.catalogue.RowCount()) {
      table.WaitForChange(seen, context.pause, stop);
      continue;
    }

    const CatalogueEntry& entry = context.catalogue.Entry(row);
    table.SetCurrentDownloadRow(row);
    const std::string url = context.file_url_prefix + entry.name;

    if (state.fetches[row] >= kFetchesBeforeAsking) {
      if (ask_to_retry(DownloadFailureMessage(url, context.support_contact))) {
        state.fetches[row] = 0;
      }
      continue;
    }

    if (!CheckDiskSpace(LocalPath(context.download_folder, entry.name), entry.size,
                        kProgramAbortedLine, context.prompt, context.free_space)) {
      post(RunRequest::kQuit);
      break;
    }

    const DownloadResult result =
        service.Download(url,
                         DownloadTarget{.folder = context.download_folder,
                                        .name = entry.name,
                                        .partial_name = entry.partial_name,
                                        .expected_size = entry.size},
                         context.callback);
    if (context.flags.abort.load() || result.outcome == DownloadOutcome::kAborted) break;
    if (result.Ok()) {
      table.SetStatus(row, "Downloaded OK");
      table.SetState(row, JobState::PendingCheck);
      state.failures = 0;
      ++state.fetches[row];
      continue;  // a good download goes straight on to the next row
    }
    ++state.failures;
    // Retrying cannot mend a local fault; the user is asked at once. Any
    // other failure leaves the row saying why, and that another try follows.
    const bool local = result.outcome == DownloadOutcome::kLocalFailure;
    table.SetStatus(row, local ? Format(kLocalFailureRowFormat, result.reason.c_str())
                               : FailedAttemptText(state.failures, result.reason));
    const bool ask = local || state.failures > kFailuresBeforeAsking;
    if (ask && ask_to_retry(FailureQuestion(result, url, context.support_contact))) {
      state.failures = 0;
    }
    // Retries of a failing download keep their pause.
    PauseFor(context.pause, stop);
  }
  context.flags.download_worker_done.store(true);
}

}  // namespace brenvik
