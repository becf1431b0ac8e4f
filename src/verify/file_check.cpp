#include "verify/file_check.h"

#include <cerrno>
#include <cstdio>

#include "platform/contained_files.h"
#include "platform/paths.h"

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
bool SameHexDigest(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

Verdict VerifyFile(const std::string& folder, const std::string& name, uint64_t size,
                   std::string_view digest, const PercentSink& progress,
                   const std::atomic<bool>& stop) {
  return VerifyFile(ContainedFolder::Open(folder, false), name, size, digest, progress, stop);
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
    std::printf("%s can't be opened\n",
                LocalPath(WithTrailingSeparator(folder.Root().string()), name).c_str());
    std::fflush(stdout);
    return Verdict::kUnreadable;
  }
  if (file.Size() != size) return Verdict::kWrongSize;
  const FileDigest read = DigestOpenFile(file.get(), size, progress, &stop);
  if (read.stopped) return Verdict::kStopped;
  if (read.read_error) return Verdict::kUnreadable;
  return SameHexDigest(Md5Hex(read.digest), digest) ? Verdict::kPassed : Verdict::kWrongDigest;
}

}  // namespace brenvik
