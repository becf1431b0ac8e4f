#pragma once
// The three flags of a download run. Each starts clear and is only ever set;
// the download flag is set when the last download worker has left. Any
// thread may read or set them.

#include <atomic>

namespace brenvik {

struct RunFlags {
  std::atomic<bool> abort{false};
  std::atomic<bool> download_worker_done{false};
  std::atomic<bool> verification_worker_done{false};
};

}  // namespace brenvik
