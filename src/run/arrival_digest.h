#pragma once
// The MD5 digest of a download made from its bytes as they are written
// (transfer/download_service.h, WrittenBytes), so a file that arrived whole
// gets its verdict without being read back. Only a file whose every byte
// passed through it counts: a download that went on from a kept part has
// no verdict here, and its file is checked by reading it, as a file found
// in the folder is.
//
// Threads: the download worker that owns it.

#include <cstdint>
#include <optional>
#include <string_view>

#include "transfer/download_service.h"
#include "verify/md5.h"

namespace brenvik {

class ArrivalDigest final : public WrittenBytes {
 public:
  ArrivalDigest() { Begin(0); }

  void Begin(uint64_t offset) override {
    Md5Init(context_);
    offset_ = offset;
    bytes_ = 0;
  }
  void Add(const char* data, size_t size) override {
    Md5Update(context_, data, size);
    bytes_ += size;
  }

  // Gives the verdict up, as when the rest of the file could not be read
  // into it: the file is then checked by reading it.
  void GiveUp() { given_up_ = true; }

  // How many of the file's first bytes passed through here; none when the
  // bytes began after the file's start (a kept part went before them) or
  // the verdict was given up.
  std::optional<uint64_t> Hashed() const {
    return offset_ == 0 && !given_up_ ? std::optional<uint64_t>(bytes_) : std::nullopt;
  }

  // True or false when the whole file of `size` bytes passed through here
  // and its digest is or is not `digest` (hex, any case); none otherwise.
  std::optional<bool> Matches(uint64_t size, std::string_view digest);

 private:
  Md5Context context_{};
  uint64_t offset_ = 0;
  uint64_t bytes_ = 0;
  bool given_up_ = false;
};

}  // namespace brenvik
