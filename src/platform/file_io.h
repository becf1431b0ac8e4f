#pragma once
// Reading and writing through a file descriptor (a C runtime one on
// Windows), for the code that moves file bytes: the downloads, the digest,
// the settings file.
//
// Thread safety: any thread; each call works on the caller's descriptor.

#include <cerrno>
#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace brenvik {

// Reads up to `size` bytes at the descriptor's position, retrying after
// signals: the count read (0 at the end), or -1 with errno set.
inline long long ReadSome(int fd, void* buffer, size_t size) {
  for (;;) {
#ifdef _WIN32
    // The runtime reads at most INT_MAX bytes at once.
    const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    const long long got = ::_read(fd, buffer, static_cast<unsigned>(chunk));
#else
    const long long got = ::read(fd, buffer, size);
#endif
    if (got >= 0 || errno != EINTR) return got;
  }
}

// Writes all of `data`; 0, or the errno of the failure.
inline int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
#ifdef _WIN32
    const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    const long long written = ::_write(fd, data, static_cast<unsigned>(chunk));
#else
    const long long written = ::write(fd, data, size);
#endif
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

// Moves the descriptor's position to `offset` from the start; 0, or the
// errno of the failure.
inline int SeekTo(int fd, uint64_t offset) {
#ifdef _WIN32
  const long long at = ::_lseeki64(fd, static_cast<long long>(offset), SEEK_SET);
#else
  const long long at = ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
#endif
  return at < 0 ? errno : 0;
}

// Writes the descriptor's data through to the disk; true on success.
inline bool SyncFile(int fd) {
#ifdef _WIN32
  return ::_commit(fd) == 0;
#else
  return ::fsync(fd) == 0;
#endif
}

// Tells the system that the descriptor will be read from start to end, so
// it may read ahead. A hint only: nothing fails without it. On Windows the
// hint is given when the file is opened (platform/contained_files.h), as
// the system takes it only there.
inline void AdviseSequential([[maybe_unused]] int fd) {
#ifdef POSIX_FADV_SEQUENTIAL
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

// Closes the descriptor; true on success.
inline bool CloseFile(int fd) {
#ifdef _WIN32
  return ::_close(fd) == 0;
#else
  return ::close(fd) == 0;
#endif
}

}  // namespace brenvik
