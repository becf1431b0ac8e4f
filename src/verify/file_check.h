#pragma once
// Checking one local file against the catalogue: it must exist, have the
// catalogue's size and its MD5 digest. Progress and the verdict are shown in
// a job-table row: "Checksumming %u %%" (image 2) after every block, then
// "Checksum OK" (image 3) or "Checksum Failed!" (image unchanged), and the
// row's state becomes CheckDone. Catalogue::VerifyRow is the entry point.
//
// VerifyRow reaches the file below the download folder without following a
// symbolic link (platform/contained_files.h): a file reached through one,
// or one that is a link itself, counts as missing. Hex digests compare
// without regard to case.
//
// Thread safety: any thread; each call uses a buffer of its own. In a run
// only the verification worker calls it.

#include <atomic>
#include <string>

#include "verify/md5.h"

namespace brenvik {

class JobTable;

inline constexpr size_t kHashBlockSize = 64 * 1024;

// Computes the digest of the file at `path`, showing progress in `item` of
// `table`. Stops early (still returning true) when `abort` becomes set.
// Returns false when the file cannot be opened, after writing
// "<path> can't be opened" to standard output; `digest` is then untouched.
[[nodiscard]] bool HashFile(const std::string& path, Md5Digest& digest, JobTable& table, int item,
                            const std::atomic<bool>& abort);

}  // namespace brenvik
