#include "run/verification_worker.h"

#include "catalogue/catalogue.h"
#include "platform/contained_files.h"
#include "platform/utf8_path.h"
#include "run/job_table.h"
#include "run/run_context.h"
#include "run/run_flags.h"
#include "run/server_pool.h"
#include "run/statistics.h"
#include "verify/file_check.h"

namespace brenvik {

Verdict CheckJobRow(JobTable& table, int row, const CatalogueEntry& entry,
                    const ContainedFolder& folder, const std::atomic<bool>& abort,
                    const std::string& from) {
  const Verdict verdict = VerifyFile(
      folder, entry.name, entry.size, entry.checksum,
      [&](uint32_t percent) { table.SetStatus(row, RowStatus::Checksumming(percent)); }, abort);
  ShowVerdict(table, row, verdict == Verdict::kPassed, from);
  return verdict;
}

void ShowVerdict(JobTable& table, int row, bool passed, const std::string& from) {
  RowStatus status{passed ? RowPhase::kChecksumOk : RowPhase::kChecksumFailed};
  if (!passed) status.reason = from;
  table.SetStatus(row, status);
  table.SetState(row, JobState::CheckDone);
}

void HandOnChecked(RunContext& context, int row, bool passed) {
  if (passed) {
    context.table.SetState(row, JobState::Verified);
    context.statistics.UpdateStatistics();
  } else {
    context.table.SetState(row, JobState::PendingDownload);
  }
}

void RunVerificationWorker(std::stop_token stop, RunContext& context) {
  JobTable& table = context.table;
  // The download folder stays open from one check to the next; it is opened
  // afresh when its path no longer leads to it (moved, replaced, created
  // only now).
  ContainedFolder folder;
  const std::filesystem::path root = PathFromUtf8(context.download_folder);
  while (!context.flags.abort.load() && !stop.stop_requested()) {
    const uint64_t seen = table.StateRevision();
    const int row = table.FirstInState(JobState::PendingCheck);
    if (row < 0 || row >= context.catalogue.RowCount() || context.flags.abort.load()) {
      table.WaitForWork(JobState::PendingCheck, seen, context.config.pause, stop);
      continue;
    }
    const CatalogueEntry& entry = context.catalogue.Entry(row);
    const std::chrono::milliseconds started = context.statistics.Now();
    if (!folder.StillNamedBy(root)) {
      folder = ContainedFolder::Hold(root, false);
    }
    // A file found in the folder at the start came from no server of this run.
    const Verdict verdict = CheckJobRow(table, row, entry, folder, context.flags.abort,
                                        context.servers.HostShownFor(row));
    // Only a check that read the whole file tells how fast files are checked.
    if (verdict == Verdict::kPassed || verdict == Verdict::kWrongDigest) {
      context.statistics.CountCheck(entry.size, context.statistics.Now() - started);
    }
    HandOnChecked(context, row, verdict == Verdict::kPassed);
  }
  context.flags.verification_worker_done.store(true);
}

}  // namespace brenvik
