#pragma once
// An interruptible pause for worker threads: returns after `duration` or as
// soon as a stop is requested.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace brenvik {

inline void PauseFor(std::chrono::milliseconds duration, std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any never_notified;
  std::unique_lock lock(mutex);
  never_notified.wait_for(lock, stop, duration, [] { return false; });
}

}  // namespace brenvik
