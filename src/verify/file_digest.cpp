#include "verify/file_digest.h"

#include <memory>

#include "platform/file_io.h"
#include "texts/share.h"

namespace brenvik {

FileDigest DigestOpenFile(int fd, uint64_t expected_length, const PercentSink& progress,
                          const std::atomic<bool>* stop) {
  AdviseSequential(fd);
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kHashBlockSize);
  FileDigest result;
  Md5Context context;
  Md5Init(context);
  uint32_t shown = UINT32_MAX;
  for (;;) {
    const long long got = ReadSome(fd, buffer.get(), kHashBlockSize);
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
