#pragma once
// A digest stand-in for the transfer tests that sees every written piece
// slowly: each Add waits `pause` first, so the bytes arriving meanwhile pile
// up behind it and the transport must hold its transfer back.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "transfer/download_service.h"

namespace brenvik::test {

class SlowWriter : public WrittenBytes {
 public:
  explicit SlowWriter(std::chrono::milliseconds pause = std::chrono::milliseconds(60))
      : pause_(pause) {}
  void Begin(uint64_t) override {}
  void Add(const char*, size_t size) override {
    std::this_thread::sleep_for(pause_);
    added += size;
  }
  uint64_t added = 0;

 private:
  std::chrono::milliseconds pause_;
};

}  // namespace brenvik::test
