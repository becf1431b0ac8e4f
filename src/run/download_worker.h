#pragma once
// The download worker: takes the topmost PendingDownload row, checks the
// disk space for it, downloads base URL + version + "/" + name into the
// download folder and hands the row back for checking (PendingCheck).
//
// Failures count over all rows; after the 11th in a row the user is asked
// to Retry or Cancel. A file fetched three times that failed its check each
// time is treated the same way instead of being fetched forever. A refusal
// at the disk-space prompt asks the face to quit and ends the worker. A
// failed attempt leaves its reason in the row; a failure whose cause is on
// this computer (an unwritable folder, a full disk) asks at once, with a
// message that names the path instead of sending the user to support.
//
// Leaves when the abort flag is set or a stop is requested, then sets its
// done flag.

#include <stop_token>
#include <string>

namespace brenvik {

struct RunContext;

inline constexpr int kFailuresBeforeAsking = 10;  // the 11th failure in a row asks
inline constexpr int kFetchesBeforeAsking = 3;    // fetches of one file that failed their check

void RunDownloadWorker(std::stop_token stop, RunContext& context);

// "Couldn't download "<url>".\nPlease contact <contact> for assistance."
std::string DownloadFailureMessage(const std::string& url, const std::string& contact);

}  // namespace brenvik
