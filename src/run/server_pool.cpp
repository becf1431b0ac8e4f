#include "run/server_pool.h"

#include <algorithm>
#include <limits>

#include "transfer/download_service.h"
#include "transfer/url_text.h"

namespace brenvik {

ServerPool::ServerPool(const std::vector<std::string>& base_urls, const std::string& version,
                       int rows, RunClock clock, std::chrono::milliseconds pause)
    : clock_(std::move(clock)), pause_(pause), last_(static_cast<size_t>(std::max(rows, 0)), -1) {
  std::vector<std::string> seen;
  for (const std::string& base : base_urls) {
    if (std::find(seen.begin(), seen.end(), base) != seen.end()) continue;
    if (seen.size() >= static_cast<size_t>(std::numeric_limits<int16_t>::max())) break;
    seen.push_back(base);
    servers_.push_back(Server{.file_url_prefix = base + version + "/",
                              .wire_url_prefix = base + EncodedNamePath(version) + "/",
                              .host = AuthorityOf(base)});
  }
  health_.resize(servers_.size());
}

bool ServerPool::AwakeLocked(int server, std::chrono::milliseconds now) const {
  return health_[static_cast<size_t>(server)].rested_until <= now;
}

int ServerPool::LeastBusyLocked(std::chrono::milliseconds now, int pass_over) const {
  int awake = 0;
  for (int s = 0; s < Count(); ++s) awake += AwakeLocked(s, now) ? 1 : 0;
  int best = -1;
  for (int s = 0; s < Count(); ++s) {
    if (!AwakeLocked(s, now) || (s == pass_over && awake > 1)) continue;
    const Health& h = health_[static_cast<size_t>(s)];
    if (best < 0) {
      best = s;
      continue;
    }
    const Health& b = health_[static_cast<size_t>(best)];
    // Of those equally busy, the one given the fewest fetches, so that
    // servers take turns even when files finish before the next starts.
    if (h.under_way < b.under_way || (h.under_way == b.under_way && h.taken < b.taken)) best = s;
  }
  if (best >= 0) return best;
  // Every server rests: the one that wakes first.
  best = 0;
  for (int s = 1; s < Count(); ++s) {
    if (health_[static_cast<size_t>(s)].rested_until <
        health_[static_cast<size_t>(best)].rested_until) {
      best = s;
    }
  }
  return best;
}

int ServerPool::Take(int row, int preferred) {
  std::lock_guard lock(mutex_);
  const std::chrono::milliseconds now = clock_();
  const bool known_row = row >= 0 && static_cast<size_t>(row) < last_.size();
  const int chosen = preferred >= 0 && preferred < Count() && AwakeLocked(preferred, now)
                         ? preferred
                         : LeastBusyLocked(now, known_row ? last_[static_cast<size_t>(row)] : -1);
  ++health_[static_cast<size_t>(chosen)].under_way;
  ++health_[static_cast<size_t>(chosen)].taken;
  if (known_row) last_[static_cast<size_t>(row)] = static_cast<int16_t>(chosen);
  return chosen;
}

void ServerPool::Done(int server) {
  std::lock_guard lock(mutex_);
  --health_[static_cast<size_t>(server)].under_way;
}

int ServerPool::LastOf(int row) const {
  std::lock_guard lock(mutex_);
  if (row < 0 || static_cast<size_t>(row) >= last_.size()) return -1;
  return last_[static_cast<size_t>(row)];
}

std::string ServerPool::HostShownFor(int row) const {
  if (!Several()) return {};
  const int server = LastOf(row);
  return server < 0 ? std::string() : At(server).host;
}

bool ServerPool::Rest(int server, std::optional<std::chrono::seconds> asked) {
  if (!Several()) return false;
  std::lock_guard lock(mutex_);
  Health& health = health_[static_cast<size_t>(server)];
  ++health.failures;
  int pauses = 1;
  for (int i = 1; i < health.failures && pauses < kLongestRestPauses; ++i) pauses *= 2;
  std::chrono::milliseconds rest = pause_ * std::min(pauses, kLongestRestPauses);
  if (asked) rest = std::max(rest, std::chrono::milliseconds(*asked));
  const std::chrono::milliseconds now = clock_();
  health.rested_until = now + rest;
  for (int s = 0; s < Count(); ++s) {
    if (s != server && AwakeLocked(s, now)) return true;
  }
  return false;
}

void ServerPool::Served(int server) {
  std::lock_guard lock(mutex_);
  health_[static_cast<size_t>(server)].failures = 0;
}

bool ServerPool::ServerFault(const DownloadResult& result) {
  if (result.outcome != DownloadOutcome::kServerFailure) return false;
  if (result.wrong_size || result.too_large || result.range_refused) return false;
  return result.permanent || result.http_status == 0 || result.http_status >= 500 ||
         result.http_status == 429;
}

}  // namespace brenvik
