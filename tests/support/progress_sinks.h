#pragma once
// Progress sinks the transfer tests attach to a transfer callback: one that
// records every percentage shown, one that sets the abort flag as soon as a
// transfer has visibly begun to move data.

#include <atomic>
#include <cstdint>
#include <vector>

#include "transfer/transfer_callback.h"

namespace brenvik::test {

class RecordingSink : public ProgressSink {
 public:
  void ShowFileProgress(uint32_t percent) override { shown.push_back(percent); }
  std::vector<uint32_t> shown;
};

class AbortingSink : public ProgressSink {
 public:
  explicit AbortingSink(std::atomic<bool>& abort) : abort_(abort) {}
  void ShowFileProgress(uint32_t percent) override {
    if (percent >= 1) abort_ = true;
  }

 private:
  std::atomic<bool>& abort_;
};

}  // namespace brenvik::test
