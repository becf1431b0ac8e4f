#pragma once
// Fetches Mirrors.txt from beside the catalogue on the chosen server: the
// other servers the run may fetch files from. The list is optional: a
// server without one (404, 410) has none, and any other failure leaves
// the run on the chosen server with a line that says why; nothing is
// asked. With a publisher key the list is used only when Mirrors.txt.sig
// beside it verifies its exact bytes, as for the catalogue.
//
// Threads: the setup step's (the face's) thread; the fetch blocks it.
// MirrorListFetch fetches on a thread of its own meanwhile.

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "config/session_config.h"
#include "setup/setup_flow.h"
#include "transfer/transfer_callback.h"

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

// The list fetched while the catalogue is: on a thread of its own through
// `side_download` from construction, so it costs no round trip of its own;
// with no `side_download`, by Take on the calling thread. A fetch still
// going when this goes is stopped and waited for.
class MirrorListFetch {
 public:
  MirrorListFetch(const SessionConfig& config, const DownloadFunction& side_download);
  ~MirrorListFetch();
  MirrorListFetch(const MirrorListFetch&) = delete;
  MirrorListFetch& operator=(const MirrorListFetch&) = delete;

  // The list. Waiting for the other thread keeps `callback`'s face alive,
  // and its abort stops that fetch too (the result is then `aborted`). A
  // list the other thread could not use is fetched once more here: it
  // may have failed while the server was still down for the catalogue.
  MirrorFetch Take(const DownloadFunction& download, TransferCallback& callback);

 private:
  const SessionConfig& config_;
  std::atomic<bool> stop_{false};
  TransferCallback side_callback_{stop_};
  std::future<MirrorFetch> side_;
};

}  // namespace brenvik
