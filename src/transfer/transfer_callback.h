#pragma once
// The transfer callback: every download reports its progress here. It stops
// the transfer when the abort flag is set, records the bytes received so
// far, and keeps the face alive: with a progress sink attached (the run's
// statistics) it hands over the file's percentage; with none attached (the
// catalogue fetch on the setup step) it calls the idle hook, which lets the
// face process its events. The download service reports at least every
// 50 ms while a transfer runs, moving or not, so the hook runs that often
// even while a server stays silent.
//
// Thread safety: OnProgress and KeepAlive run on the thread that called the
// download service. Attach/SetIdleHook are called by the face before
// transfers that use them start. BytesSoFar and TransferRunning may be read
// from any thread, and so may BytesReceived.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace brenvik {

// Receives the per-file percentage of a release-file download.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void ShowFileProgress(uint32_t percent) = 0;
};

class TransferCallback {
 public:
  explicit TransferCallback(const std::atomic<bool>& abort) : abort_(abort) {}

  // Returns false when the transfer must stop (the abort flag is set).
  [[nodiscard]] bool OnProgress(uint64_t progress, uint64_t maximum);

  // A report with nothing new to show: runs the idle hook when no sink is
  // attached. Returns false when the transfer must stop.
  [[nodiscard]] bool KeepAlive();

  // True once the abort flag is set: the transfer must stop.
  bool AbortRequested() const { return abort_.load(); }

  void Attach(ProgressSink* sink) { sink_.store(sink); }
  void SetIdleHook(std::function<void()> hook);

  // Marks the span of one transfer, so the statistics count its bytes only
  // while it runs. The download service calls these.
  void TransferStarted();
  void TransferEnded();
  bool TransferRunning() const { return running_.load(); }

  uint64_t BytesSoFar() const { return bytes_so_far_.load(); }

  // Body bytes that arrived from the network, over every transfer through
  // this callback: unlike BytesSoFar, a resumed file's kept part never
  // counts. The download service adds each piece as it writes it.
  void CountReceived(uint64_t bytes) { received_.fetch_add(bytes); }
  uint64_t BytesReceived() const { return received_.load(); }

  // Percentage of `progress` in `maximum`, truncated, never above 100; 0
  // when the size is unknown.
  static uint32_t Percentage(uint64_t progress, uint64_t maximum);

 private:
  const std::atomic<bool>& abort_;
  std::atomic<ProgressSink*> sink_{nullptr};
  std::atomic<uint64_t> bytes_so_far_{0};
  std::atomic<uint64_t> received_{0};
  std::atomic<bool> running_{false};
  mutable std::mutex mutex_;  // guards the member below
  std::function<void()> idle_hook_;
};

}  // namespace brenvik
