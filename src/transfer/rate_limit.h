#pragma once
// A speed limit for all of a session's downloads together.
//
// Every download pays for the bytes it has just received from one shared
// allowance that fills at the limit's rate. A payment that leaves the
// allowance in debt waits until the debt is paid off; meanwhile that
// transfer takes no more bytes, so the server is held back by the
// connection's flow control and nothing piles up beyond the transfer's own
// small buffers. Payments are served in the order they come, so the limit
// is shared evenly over the running downloads. The allowance never holds
// more than a tenth of a second's worth: a pause does not turn into a
// burst.
//
// Thread safety: any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>

namespace brenvik {

class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  RateLimit() = default;
  // The clock the allowance fills by: tests give their own before any
  // download starts.
  void UseClock(std::function<Clock::time_point()> now) { now_ = std::move(now); }

  // Bytes per second for all downloads together; 0: no limit. Takes effect
  // at once, also for downloads that are waiting.
  void Set(uint64_t bytes_per_second);
  uint64_t Rate() const;

  // Pays for `bytes`; returns once they are paid for, the limit changed,
  // or `go_on` returned false (asked every 50 ms while waiting, so it may
  // keep a face alive too). Returns at once when there is no limit.
  void Pay(uint64_t bytes, const std::function<bool()>& go_on);

  // The bookkeeping of Pay without the wait: takes `bytes` from the
  // allowance and returns how long the payer must wait (zero when the
  // allowance covered them).
  Clock::duration Charge(uint64_t bytes);

 private:
  std::function<Clock::time_point()> now_ = Clock::now;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Read without the lock too: with no limit, paying costs one load.
  std::atomic<uint64_t> rate_{0};
  uint64_t generation_ = 0;  // counts the changes of the rate
  double allowance_ = 0;     // bytes; negative: a debt
  Clock::time_point filled_{};
};

}  // namespace brenvik
