#pragma once
// The MD5 digest of a whole file, read block by block: the one way the
// program and its tools digest a file.
//
// Thread safety: any thread; each call uses a buffer of its own, so files
// may be digested on several threads at once.

#include <atomic>
#include <cstdint>
#include <functional>

#include "verify/md5.h"

namespace brenvik {

inline constexpr size_t kHashBlockSize = 64 * 1024;

// Told the share read so far, in percent, each time it changes.
using PercentSink = std::function<void(uint32_t percent)>;

struct FileDigest {
  Md5Digest digest{};
  uint64_t bytes = 0;       // bytes read and digested
  bool read_error = false;  // a read failed: the digest covers the bytes before it
  bool stopped = false;     // the stop flag was seen: the digest covers the bytes before it
};

// Digests the open file `fd` from where it stands to its end. The
// percentages are shares of `expected_length`; they stop at 100 (a file
// that grew meanwhile) and a length of 0 reads as 100. `stop` (may be null)
// is looked at before each block is digested.
[[nodiscard]] FileDigest DigestOpenFile(int fd, uint64_t expected_length,
                                        const PercentSink& progress = {},
                                        const std::atomic<bool>* stop = nullptr);

}  // namespace brenvik
