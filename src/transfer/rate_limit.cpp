#include "transfer/rate_limit.h"

#include <algorithm>

namespace brenvik {

namespace {

constexpr std::chrono::milliseconds kLook{50};

}  // namespace

void RateLimit::Set(uint64_t bytes_per_second) {
  {
    const std::lock_guard lock(mutex_);
    rate_ = bytes_per_second;
    ++generation_;
    allowance_ = 0;
    filled_ = now_();
  }
  changed_.notify_all();
}

uint64_t RateLimit::Rate() const { return rate_.load(); }

RateLimit::Clock::duration RateLimit::Charge(uint64_t bytes) {
  if (rate_.load(std::memory_order_relaxed) == 0) return {};
  const std::lock_guard lock(mutex_);
  const uint64_t limit = rate_.load();
  if (limit == 0) return {};
  const Clock::time_point now = now_();
  const double rate = static_cast<double>(limit);
  const std::chrono::duration<double> elapsed = now - filled_;
  allowance_ = std::min(allowance_ + std::max(elapsed.count(), 0.0) * rate, rate / 10);
  filled_ = now;
  allowance_ -= static_cast<double>(bytes);
  if (allowance_ >= 0) return {};
  // Paid off when the allowance is back at zero: the later a payment
  // came, the deeper the debt it waits out.
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(-allowance_ / rate));
}

void RateLimit::Pay(uint64_t bytes, const std::function<bool()>& go_on) {
  const Clock::duration wait = Charge(bytes);
  if (wait <= Clock::duration::zero()) return;
  const Clock::time_point paid = Clock::now() + wait;
  std::unique_lock lock(mutex_);
  const uint64_t generation = generation_;
  while (Clock::now() < paid) {
    changed_.wait_for(lock, std::min<Clock::duration>(kLook, paid - Clock::now()));
    if (generation_ != generation) return;
    lock.unlock();
    const bool more = go_on();
    lock.lock();
    if (!more) return;
  }
}

}  // namespace brenvik
