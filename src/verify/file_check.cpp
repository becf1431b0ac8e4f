#include "verify/file_check.h"

#include <cerrno>
#include <cstdio>

#include "platform/contained_files.h"
#include "platform/output_queue.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace brenvik {

namespace {

// True for the errors that mean the catalogue's file is not there: nothing
// under the name, a folder or another kind of entry, or a name reached
// through a symbolic link (never read).
bool MeansAbsent(int error_number) {
  return error_number == ENOENT || error_number == ENOTDIR || error_number == ELOOP ||
         error_number == EISDIR || error_number == EINVAL;
}

}  // namespace

// Catalogues are written in either case.
bool SameHexDigest(std::string_view a, std::string_view b) { return EqualIgnoringAsciiCase(a, b); }

Verdict VerifyFile(const std::string& folder, const std::string& name, uint64_t size,
                   std::string_view digest, const PercentSink& progress,
                   const std::atomic<bool>& stop) {
  return VerifyFile(ContainedFolder::Open(PathFromUtf8(folder), false), name, size, digest,
                    progress, stop);
}

Verdict VerifyFile(const ContainedFolder& folder, const std::string& name, uint64_t size,
                   std::string_view digest, const PercentSink& progress,
                   const std::atomic<bool>& stop) {
  // The file is opened below the download folder without following any
  // symbolic link, so a planted link never makes us read (and approve) a
  // file elsewhere; size and digest then come from that one descriptor.
  const ContainedFile file = folder.OpenForReading(name);
  if (!file.Ok()) {
    if (MeansAbsent(file.Error().number)) return Verdict::kMissing;
    // Queued, never waited for: the output may be a pipe nobody reads.
    (void)QueueText(
        stdout,
        LocalPath(WithTrailingSeparator(Utf8Of(folder.Root())), name) + " can't be opened\n",
        nullptr);
    return Verdict::kUnreadable;
  }
  if (file.Size() != size) return Verdict::kWrongSize;
  const FileDigest read = DigestOpenFile(file.get(), size, progress, &stop);
  if (read.stopped) return Verdict::kStopped;
  if (read.read_error) return Verdict::kUnreadable;
  return SameHexDigest(Md5Hex(read.digest), digest) ? Verdict::kPassed : Verdict::kWrongDigest;
}

}  // namespace brenvik
