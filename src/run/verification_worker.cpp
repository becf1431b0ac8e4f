#include "run/verification_worker.h"

#include "catalogue/catalogue.h"
#include "run/job_table.h"
#include "run/run_context.h"
#include "run/run_flags.h"
#include "run/statistics.h"

namespace brenvik {

void RunVerificationWorker(std::stop_token stop, RunContext& context) {
  JobTable& table = context.table;
  while (!context.flags.abort.load() && !stop.stop_requested()) {
    const uint64_t seen = table.StateRevision();
    const int row = table.FirstInState(JobState::PendingCheck);
    if (row < 0 || row >= context.catalogue.RowCount() || context.flags.abort.load()) {
      table.WaitForChange(seen, context.pause, stop);
      continue;
    }
    if (context.catalogue.VerifyRow(row, table, row)) {
      table.SetState(row, JobState::Verified);
      context.statistics.UpdateStatistics();
    } else {
      table.SetState(row, JobState::PendingDownload);
    }
  }
  context.flags.verification_worker_done.store(true);
}

}  // namespace brenvik
