#include "verify/file_digest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "texts/share.h"

namespace brenvik {

namespace {

// Reads up to `size` bytes, retrying after signals; -1 on an error.
ssize_t ReadBlock(int fd, uint8_t* buffer, size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

FileDigest DigestOpenFile(int fd, uint64_t expected_length, const PercentSink& progress,
                          const std::atomic<bool>* stop) {
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kHashBlockSize);
  FileDigest result;
  Md5Context context;
  Md5Init(context);
  uint32_t shown = UINT32_MAX;
  for (;;) {
    const ssize_t got = ReadBlock(fd, buffer.get(), kHashBlockSize);
    if (got <= 0) {
      result.read_error = got < 0;
      break;
    }
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
      result.stopped = true;
      break;
    }
    Md5Update(context, buffer.get(), static_cast<size_t>(got));
    result.bytes += static_cast<uint64_t>(got);
    const auto percent = expected_length == 0
                             ? 100u
                             : static_cast<uint32_t>(ShareOf(result.bytes, expected_length, 100));
    // An unchanged percentage would only cost the views a redraw.
    if (progress && percent != shown) {
      progress(percent);
      shown = percent;
    }
  }
  Md5Final(result.digest, context);
  return result;
}

}  // namespace brenvik
