#pragma once
// An interruptible pause for worker threads: returns after `duration` or
// within kPauseSlice of a stop request.
//
// It looks at the stop token between short sleeps rather than waiting on a
// condition variable tied to the token: such a wait registers a
// stop_callback, whose removal racing request_stop deadlocked under MinGW's
// thread library.

#include <algorithm>
#include <chrono>
#include <stop_token>
#include <thread>

namespace brenvik {

inline constexpr std::chrono::milliseconds kPauseSlice{10};

inline void PauseFor(std::chrono::milliseconds duration, std::stop_token stop) {
  const auto end = std::chrono::steady_clock::now() + duration;
  for (auto now = std::chrono::steady_clock::now(); now < end && !stop.stop_requested();
       now = std::chrono::steady_clock::now()) {
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, kPauseSlice));
  }
}

}  // namespace brenvik
