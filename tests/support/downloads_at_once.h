#pragma once
// Runs several downloads at once, as a run's workers do: each on a thread
// of its own, with a download service of its own on one connection hub.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"

namespace brenvik::test {

// `download(service, callback, i)` does the i-th of `count` downloads; the
// services stall after 10 s of nothing. Returns the results in order.
inline std::vector<DownloadResult> DownloadsAtOnce(
    ConnectionHub& hub, int count, std::atomic<bool>& abort,
    const std::function<DownloadResult(DownloadService&, TransferCallback&, int)>& download) {
  std::vector<DownloadResult> results(static_cast<size_t>(count));
  std::vector<std::jthread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      DownloadService service(&hub);
      service.SetStallTimeout(std::chrono::seconds(10));
      TransferCallback callback(abort);
      results[static_cast<size_t>(i)] = download(service, callback, i);
    });
  }
  threads.clear();  // joins them
  return results;
}

}  // namespace brenvik::test
