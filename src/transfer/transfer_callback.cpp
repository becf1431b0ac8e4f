#include "transfer/transfer_callback.h"

#include <utility>

#include "texts/share.h"

namespace brenvik {

bool TransferCallback::OnProgress(uint64_t progress, uint64_t maximum) {
  // An aborted run leaves the recorded count as it was.
  if (abort_.load()) return false;
  bytes_so_far_.store(progress);
  if (ProgressSink* sink = sink_.load()) {
    sink->ShowFileProgress(Percentage(progress, maximum));
    return true;
  }
  return KeepAlive();
}

bool TransferCallback::KeepAlive() {
  if (abort_.load()) return false;
  // With a sink attached the face runs its own loop; nothing to do here.
  if (sink_.load() != nullptr) return true;
  std::function<void()> idle_hook;
  {
    std::lock_guard lock(mutex_);
    idle_hook = idle_hook_;
  }
  // Called outside the lock: the hook may run the face's event loop, and
  // whatever that does must not wait on this callback's mutex.
  if (idle_hook) idle_hook();
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

uint32_t TransferCallback::Percentage(uint64_t progress, uint64_t maximum) {
  // A server may send more than it announced; the bar never goes past full.
  return static_cast<uint32_t>(ShareOf(progress, maximum, 100));
}

}  // namespace brenvik
