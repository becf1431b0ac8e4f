#pragma once
// The statistics line of a run, "... kB of ... kB done, ... kB/s, EDT: ...",
// as numbers and as the text formatted from them.

#include <cstdint>
#include <optional>
#include <string>

namespace brenvik {

struct StatisticsValues {
  uint64_t done_bytes = 0;  // verified files plus the downloads running now
  uint64_t total_bytes = 0;
  uint32_t rate_kb = 0;  // kB/s
  // The seconds left; none while there is nothing yet to measure them by.
  std::optional<uint64_t> estimate_seconds;
  uint32_t limit_kb = 0;  // the speed limit in kB/s; 0: none

  bool operator==(const StatisticsValues&) const = default;
};

// The line the status bar shows; an estimate that is none is left empty.
// A speed limit follows the rate: "..., 512 kB/s (limit 512 kB/s), EDT: ...".
std::string StatisticsLine(const StatisticsValues& values);
// "%.2u:%.2u:%.2u" of a span of seconds; hours are not reduced.
std::string FormatEstimate(uint64_t seconds);

}  // namespace brenvik
