#pragma once
// A download worker: takes the topmost PendingDownload row that no other
// worker holds, checks the disk space for it (counting what the other
// workers' downloads still need), downloads base URL + version + "/" + name
// (version and name percent-encoded whole) into the download folder and
// hands the row on for checking (PendingCheck). A run has one per
// connection (1 to kMostConnections) and, once the server carries many
// transfers on one connection (HTTP/2), up to the connection hub's most;
// their services share the hub's connections, and the first goes on with
// the setup step's service. A file that failed its check, or came with the
// wrong size, is fetched again past any cache on the way.
//
// A file of kSplitFrom bytes or more may come in parts (run/part_board.h):
// its worker fetches it whole while lanes that found no file to start
// take parts of it, then fetches the parts left free, waits for the
// others' and renames the file into place for the check. A lane with no
// file to start helps with such a file before it waits for work.
//
// Failures count over all rows and all workers; after the 11th in a row the
// user is asked to Retry or Cancel. Questions come one at a time: a worker
// that would ask waits for the question on screen and asks only when the
// answer left the reason standing. A file fetched three times that failed its check each
// time is treated the same way instead of being fetched forever. A refusal
// at the disk-space prompt asks the face to quit and ends the worker. A
// failed attempt leaves its reason in the row; a failure whose cause is on
// this computer (an unwritable folder, a full disk) asks at once, with a
// message that names the path instead of sending the user to support; one
// that trying again cannot mend (DownloadResult::permanent) asks at once
// too, its row saying "Failed:" and why. The question after repeated failed
// checks says the file arrived but did not match the catalogue.
//
// Between attempts the worker waits: the session's pause after the first
// failure in a row, doubling with each further one up to eight pauses (4 s
// with the usual 500 ms), so the question still comes within about a minute
// of the 11th failure. A 429 or 503 answer with a Retry-After waits as the
// server asked instead, at most kLongestServerWait, and the row says how
// long. The waiting worker keeps its row; the others go on with theirs.
// Every wait ends at once on a stop request or the abort flag.
//
// Leaves when the abort flag is set or a stop is requested; the last worker
// to leave sets the run's download-done flag.

#include <chrono>
#include <stop_token>
#include <string>

namespace brenvik {

class DownloadCrew;
struct RunContext;

inline constexpr int kMostConnections = 16;  // downloads at once, at most

inline constexpr int kFailuresBeforeAsking = 10;  // the 11th failure in a row asks
inline constexpr int kFetchesBeforeAsking = 3;    // fetches of one file that failed their check
inline constexpr int kLongestBackOffPauses = 8;   // the back-off's cap, in session pauses
inline constexpr std::chrono::seconds kLongestServerWait{300};  // cap on a server's Retry-After

// The wait before the next attempt after `failures` failures in a row (at
// least one) with the session's `pause`: pause × 2^(failures−1), at most
// kLongestBackOffPauses pauses.
std::chrono::milliseconds BackOff(std::chrono::milliseconds pause, int failures);

// Runs the worker of lane `lane` of `crew`; one runs for every lane.
void RunDownloadWorker(std::stop_token stop, RunContext& context, DownloadCrew& crew, int lane);

// "Couldn't download "<url>".\nPlease contact <contact> for assistance."
std::string DownloadFailureMessage(const std::string& url, const std::string& contact);

}  // namespace brenvik
