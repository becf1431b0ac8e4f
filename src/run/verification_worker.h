#pragma once
// The verification worker: takes the topmost PendingCheck row, checks its
// file against the catalogue and writes the verdict, Verified or
// PendingDownload (which hands the row to the download workers). A file
// that a download worker hashed whole as it arrived never comes here: that
// worker writes the verdict the same way (ShowVerdict, HandOnChecked). One row per
// pass; it waits only when there is no work, and a state change that gives
// it work wakes it at once. Leaves when the abort flag is set or a stop is
// requested, then sets its done flag.

#include <atomic>
#include <stop_token>
#include <string>

#include "verify/file_check.h"

namespace brenvik {

class ContainedFolder;
class JobTable;
struct CatalogueEntry;
struct RunContext;

void RunVerificationWorker(std::stop_token stop, RunContext& context);

// Checks the file of `entry` below the download folder `folder` (held open)
// and shows it in `row` of
// `table`: "Checksumming N %" while it is read, then "Checksum OK" or
// "Checksum Failed!", and the row's state becomes CheckDone. Returns the
// verdict. `abort` stops the reading (the check then fails).
[[nodiscard]] Verdict CheckJobRow(JobTable& table, int row, const CatalogueEntry& entry,
                                  const ContainedFolder& folder, const std::atomic<bool>& abort,
                                  const std::string& from = {});

// Shows a verdict in `row`: "Checksum OK" or "Checksum Failed!" (naming
// `from`, the server the file came from, when not empty), and the state
// CheckDone.
void ShowVerdict(JobTable& table, int row, bool passed, const std::string& from = {});
// Hands a checked row on: Verified (and the statistics brought up to date)
// or PendingDownload, for the download workers.
void HandOnChecked(RunContext& context, int row, bool passed);

}  // namespace brenvik
