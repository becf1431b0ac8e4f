#pragma once
// Fetches Mirrors.txt from beside the catalogue on the chosen server: the
// other servers the run may fetch files from. The list is optional: a
// server without one (404, 410) has none, and any other failure leaves
// the run on the chosen server with a line that says why; nothing is
// asked. With a publisher key the list is used only when Mirrors.txt.sig
// beside it verifies its exact bytes, as for the catalogue.
//
// Threads: the setup step's (the face's) thread; the fetch blocks it.

#include <string>
#include <vector>

#include "config/session_config.h"
#include "setup/setup_flow.h"

namespace brenvik {

struct MirrorFetch {
  std::vector<std::string> servers;  // base URLs, each ending with '/'
  // Why the list, or some of its lines, is not used (one line each);
  // empty when nothing went wrong.
  std::string problem;
  // The servers used besides the chosen one; empty when none.
  std::string used;
  bool aborted = false;
};

// Fetches the list into the folder of the configuration's catalogue file.
MirrorFetch FetchMirrorList(const SessionConfig& config, const DownloadFunction& download,
                            TransferCallback& callback);

}  // namespace brenvik
