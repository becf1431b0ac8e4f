#pragma once
// Checking one local file against its catalogue row: it must exist, have
// the row's size and its MD5 digest. The verdict says whether it passed and
// if not, why; the caller shows it.
//
// The file is reached below the download folder without following a
// symbolic link (platform/contained_files.h): a file reached through one,
// or one that is a link itself, counts as missing. A file that is there
// but cannot be opened is reported on standard output as
// "<path> can't be opened". Hex digests compare without regard to case.
//
// Thread safety: any thread; each call uses a buffer of its own. In a run
// only the verification worker calls it.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/contained_files.h"
#include "verify/file_digest.h"

namespace brenvik {

enum class Verdict {
  kPassed,
  kMissing,      // no regular file under the name (or only through a link)
  kWrongSize,    // the size differs from the catalogue's
  kUnreadable,   // it could not be opened, or a read failed part way
  kWrongDigest,  // the digest differs from the catalogue's
  kStopped,      // the stop flag was set while it was being read
};

// Checks the file `name` below `folder` (which ends with the separator)
// against `size` and the hex digest `digest`. `progress` hears the share
// digested, in percent, as it grows (never for an empty file); `stop` ends
// the reading early.
[[nodiscard]] Verdict VerifyFile(const std::string& folder, const std::string& name, uint64_t size,
                                 std::string_view digest, const PercentSink& progress,
                                 const std::atomic<bool>& stop);

// The same check below a download folder held open, so that checking many
// files opens the folder once instead of once per file.
[[nodiscard]] Verdict VerifyFile(const ContainedFolder& folder, const std::string& name,
                                 uint64_t size, std::string_view digest,
                                 const PercentSink& progress, const std::atomic<bool>& stop);

// True when two hex digests are the same but for the case of their letters.
bool SameHexDigest(std::string_view a, std::string_view b);

}  // namespace brenvik
