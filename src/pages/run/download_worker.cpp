#include "pages/run/download_worker.h"

#include <filesystem>
#include <unordered_map>

#include "catalogue/catalogue.h"
#include "pages/run/job_table.h"
#include "pages/run/pause.h"
#include "pages/run/run_context.h"
#include "pages/run/run_flags.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "transfer/disk_space.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"

namespace brenvik {

std::string DownloadFailureMessage(const std::string& url, const std::string& contact) {
  return "Couldn't download \"" + url + "\".\nPlease contact " + contact + " for assistance.";
}

namespace {

void RemoveCacheFile(const TransferCallback& callback) {
  const std::string cache = callback.CacheFileName();
  if (cache.empty()) return;
  std::error_code ignored;
  std::filesystem::remove(cache, ignored);
}

}  // namespace

void RunDownloadWorker(std::stop_token stop, RunContext& context) {
  JobTable& table = context.table;
  DownloadService service;
  service.SetStallTimeout(context.stall_timeout);
  int failures = 0;
  // Fetches of each row since it was last handed back by a Retry; a row
  // only comes back here when its fresh file failed the check.
  std::unordered_map<int, int> fetches;
  bool closing = false;

  auto post = [&](RunRequest request) {
    if (context.post_request) context.post_request(request);
  };
  auto ask_to_retry = [&](const std::string& url) {
    if (context.prompt.Ask(DownloadFailureMessage(url, context.support_contact),
                           PromptButtons::kRetryCancel, PromptIcon::kNone) == PromptAnswer::kRetry) {
      return true;
    }
    // The face ends the run; until the abort flag arrives nothing more is
    // fetched and nothing more is asked.
    closing = true;
    post(RunRequest::kClose);
    return false;
  };

  while (!context.flags.abort.load() && !stop.stop_requested()) {
    const uint64_t seen = table.StateRevision();
    const int row = closing ? -1 : table.FirstInState(JobState::PendingDownload);
    if (row < 0 || row >= context.catalogue.RowCount()) {
      table.WaitForChange(seen, context.pause, stop);
      continue;
    }

    const std::string name = table.Name(row);
    table.SetCurrentDownloadRow(row);
    const std::string url = context.file_url_prefix + name;
    const std::string local_path = LocalPath(context.download_folder, name);

    if (fetches[row] >= kFetchesBeforeAsking) {
      if (ask_to_retry(url)) fetches[row] = 0;
      continue;
    }

    if (!CheckDiskSpace(local_path, context.catalogue.Size(row), kProgramAbortedLine,
                        context.prompt, context.free_space)) {
      post(RunRequest::kQuit);
      break;
    }

    const int result = service.Download(url, local_path, context.callback);
    const bool succeeded = result == kDownloadOk && !context.flags.abort.load();
    if (succeeded) {
      table.SetStatus(row, "Downloaded OK");
      table.SetState(row, JobState::PendingCheck);
      failures = 0;
      ++fetches[row];
    } else if (++failures > kFailuresBeforeAsking && !context.flags.abort.load()) {
      if (ask_to_retry(url)) failures = 0;
    }
    RemoveCacheFile(context.callback);
    // Retries of a failing download keep their pause; a good download goes
    // straight on to the next row.
    if (!succeeded) PauseFor(context.pause, stop);
  }
  context.flags.download_worker_done.store(true);
}

}  // namespace brenvik
