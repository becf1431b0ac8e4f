#include "verify/file_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>

#include "catalogue/catalogue.h"
#include "platform/contained_files.h"
#include "platform/file_descriptor.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "run/job_table.h"

namespace brenvik {

namespace {

// Reads up to `size` bytes, retrying after signals; 0 at the end or on error
// (a read error ends the hashing like the end of the file).
size_t ReadBlock(int fd, uint8_t* buffer, size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return 0;
  }
}

// Hashes the open file `fd` of `length` bytes; see HashFile.
void HashOpenFile(int fd, uint64_t length, Md5Digest& digest, JobTable& table, int item,
                  const std::atomic<bool>& abort) {
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  // Each call has its own buffer, so hashing may run on several threads.
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kHashBlockSize);
  Md5Context context;
  Md5Init(context);
  uint64_t done = 0;
  uint32_t shown = UINT32_MAX;
  for (size_t got = ReadBlock(fd, buffer.get(), kHashBlockSize); got > 0;
       got = ReadBlock(fd, buffer.get(), kHashBlockSize)) {
    if (abort.load(std::memory_order_relaxed)) break;
    Md5Update(context, buffer.get(), got);
    done += got;
    // A file that grew while being hashed would pass its measured length;
    // the percentage stops at 100 and never divides by zero.
    const uint32_t percent =
        length == 0 || done >= length ? 100u : static_cast<uint32_t>(done * 100 / length);
    // Rewriting an unchanged text only costs the views a redraw.
    if (percent != shown) {
      table.SetStatusAndImage(item, Format("Checksumming %u %%", percent), RowImage::kChecking);
      shown = percent;
    }
  }
  Md5Final(digest, context);
}

void ReportCannotOpen(const std::string& path) {
  std::printf("%s can't be opened\n", path.c_str());
  std::fflush(stdout);
}

// True for the errors that mean the catalogue's file is not there: nothing
// under the name, a folder or another kind of entry, or a name reached
// through a symbolic link (never read).
bool MeansAbsent(int error_number) {
  return error_number == ENOENT || error_number == ENOTDIR || error_number == ELOOP ||
         error_number == EISDIR || error_number == EINVAL;
}

// Hex digests compare without regard to case: catalogues are written either way.
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

}  // namespace

bool HashFile(const std::string& path, Md5Digest& digest, JobTable& table, int item,
              const std::atomic<bool>& abort) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode)) {
    ReportCannotOpen(path);
    return false;
  }
  HashOpenFile(file.get(), static_cast<uint64_t>(info.st_size), digest, table, item, abort);
  return true;
}

bool Catalogue::VerifyRow(int row, JobTable& table, int item) const {
  const CatalogueEntry& entry = Entry(row);

  // The file is opened below the download folder without following any
  // symbolic link, so a planted link never makes us read (and approve) a
  // file elsewhere; size and digest then come from that one descriptor.
  bool passed = false;
  const ContainedFile file = OpenForReadingBelow(download_folder_, entry.name);
  struct stat info {};
  if (!file.Ok()) {
    if (!MeansAbsent(file.Error().number))
      ReportCannotOpen(LocalPath(download_folder_, entry.name));
  } else if (::fstat(file.get(), &info) == 0 && static_cast<uint64_t>(info.st_size) == entry.size) {
    Md5Digest digest{};
    HashOpenFile(file.get(), entry.size, digest, table, item, abort_);
    passed = SameHexDigest(Md5Hex(digest), entry.checksum);
  }

  if (passed) {
    table.SetStatusAndImage(item, "Checksum OK", RowImage::kDone);
  } else {
    table.SetStatus(item, "Checksum Failed!");
  }
  table.SetState(item, JobState::CheckDone);
  return passed;
}

}  // namespace brenvik
