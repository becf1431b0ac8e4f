#include "transfer/transfer_callback.h"

#include <utility>

namespace brenvik {

bool TransferCallback::OnProgress(uint64_t progress, uint64_t maximum, BindStatus status,
                                  std::string_view status_text) {
  // An aborted run leaves the recorded name and count as they were, so the
  // caller still finds the cache file of the attempt that was stopped.
  if (abort_.load()) return false;

  std::function<void()> idle_hook;
  {
    std::lock_guard lock(mutex_);
    if (status == BindStatus::kCacheFileNameAvailable) cache_file_name_ = status_text;
    idle_hook = idle_hook_;
  }
  bytes_so_far_.store(progress);

  if (ProgressSink* sink = sink_.load()) {
    sink->ShowFileProgress(Percentage(progress, maximum));
  } else if (idle_hook) {
    // Called outside the lock: the hook may run the face's event loop, and
    // whatever that does must not wait on this callback's mutex.
    idle_hook();
  }
  return true;
}

void TransferCallback::SetIdleHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  idle_hook_ = std::move(hook);
}

void TransferCallback::TransferStarted() {
  bytes_so_far_.store(0);
  running_.store(true);
}

void TransferCallback::TransferEnded() { running_.store(false); }

std::string TransferCallback::CacheFileName() const {
  std::lock_guard lock(mutex_);
  return cache_file_name_;
}

uint32_t TransferCallback::Percentage(uint64_t progress, uint64_t maximum) {
  if (maximum == 0) return 0;
  // A server may send more than it announced; the bar never goes past full.
  if (progress >= maximum) return 100;
  // 128 bits hold progress * 100 for any 64-bit count, so the truncation is exact.
  __extension__ using Wide = unsigned __int128;
  return static_cast<uint32_t>(static_cast<Wide>(progress) * 100 / maximum);
}

}  // namespace brenvik
