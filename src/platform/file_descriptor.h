#pragma once
// Owns one file descriptor (a C runtime one on Windows) and closes it at
// the end of its scope.

#include "platform/file_io.h"

namespace brenvik {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  // Movable, so a walk from folder to folder can hand each one on.
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.Release();
    }
    return *this;
  }

  int get() const { return fd_; }
  // Gives up ownership: the caller closes the descriptor.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Close() {
    if (fd_ >= 0) (void)CloseFile(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace brenvik
