#pragma once
// The verification worker: takes the topmost PendingCheck row, checks its
// file against the catalogue and writes the verdict, Verified or
// PendingDownload (which hands the row to the download worker). One row per
// pass; it waits only when there is no work, and a state change that gives
// it work wakes it at once. Leaves when the abort flag is set or a stop is
// requested, then sets its done flag.

#include <stop_token>

namespace brenvik {

struct RunContext;

void RunVerificationWorker(std::stop_token stop, RunContext& context);

}  // namespace brenvik
