#pragma once
// Whole-number shares of a count, as percentages and bars show them.
//
// Thread safety: a pure function; any thread.

#include <algorithm>
#include <cstdint>

namespace brenvik {

// `part` of `whole` in units of 1/`scale` (scale 100: a percentage),
// truncated; a part beyond the whole counts as the whole (a server may send
// more than it announced, a file may grow), and a whole of 0 gives 0.
inline uint64_t ShareOf(uint64_t part, uint64_t whole, uint64_t scale) {
  if (whole == 0) return 0;
  // 128 bits hold part * scale for any two 64-bit counts, so the
  // truncation is exact.
  __extension__ using Wide = unsigned __int128;
  return static_cast<uint64_t>(static_cast<Wide>(std::min(part, whole)) * scale / whole);
}

}  // namespace brenvik
