#pragma once
// What the workers of a run share: the job table, the catalogue, the flags,
// the statistics, the seams they ask through, and the request channel back
// to the face.
//
// Everything here outlives the workers: the run engine joins them all
// before any of it goes away.

#include <chrono>
#include <functional>
#include <string>

#include "config/session_config.h"

namespace brenvik {

class ConnectionHub;
class DownloadService;

class Catalogue;
class FreeSpace;
class JobTable;
class ProgressStatistics;
class Prompt;
class ServerPool;
struct RunFlags;

// The one clock of a run: milliseconds on a steady clock. Tests pass their
// own. It is read on the face's thread and on the workers' threads.
using RunClock = std::function<std::chrono::milliseconds()>;

// What the download worker asks of the face.
enum class RunRequest {
  kNone,
  kClose,  // the user gave up a download: end the run as with Cancel
  kQuit,   // the user refused at the disk-space prompt: end the program at once
};

struct RunContext {
  JobTable& table;
  const Catalogue& catalogue;
  RunFlags& flags;
  ProgressStatistics& statistics;
  Prompt& prompt;
  FreeSpace& free_space;
  // The support contact, the pause, the stall time-out, the number of
  // downloads at once.
  const SessionConfig& config;
  ServerPool& servers;  // where the files come from
  // The setup step's service for the first worker (see RunServices); may be null.
  DownloadService* first_service = nullptr;
  ConnectionHub& hub;           // every worker's service goes through its connections
  std::string download_folder;  // ends with the separator
  // Called on a download worker's thread.
  std::function<void(RunRequest)> post_request;
  // The run's clock: back-off and Retry-After waits end by it.
  RunClock clock;
};

}  // namespace brenvik
