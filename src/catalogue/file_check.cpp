#include "catalogue/file_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "catalogue/catalogue.h"
#include "pages/run/job_table.h"
#include "platform/file_descriptor.h"
#include "platform/paths.h"
#include "platform/prompt.h"

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

}  // namespace

bool HashFile(const std::string& path, Md5Digest& digest, JobTable& table, int item,
              const std::atomic<bool>& abort) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode)) {
    std::printf("%s can't be opened\n", path.c_str());
    std::fflush(stdout);
    return false;
  }
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  const uint64_t length = static_cast<uint64_t>(info.st_size);

  // Each call has its own buffer, so hashing may run on several threads.
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kHashBlockSize);
  Md5Context context;
  Md5Init(context);
  uint64_t done = 0;
  uint32_t shown = UINT32_MAX;
  for (size_t got = ReadBlock(file.get(), buffer.get(), kHashBlockSize); got > 0;
       got = ReadBlock(file.get(), buffer.get(), kHashBlockSize)) {
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
  return true;
}

bool Catalogue::VerifyRow(int row, JobTable& table, int item) const {
  const CatalogueEntry& entry = Entry(row);
  const std::string path = LocalPath(download_folder_, entry.name);

  bool passed = false;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
      static_cast<uint64_t>(info.st_size) == entry.size) {
    Md5Digest digest{};
    passed = HashFile(path, digest, table, item, abort_) && Md5Hex(digest) == entry.checksum;
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
