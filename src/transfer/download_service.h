#pragma once
// The download service: moves one URL (http, https or file) into a local
// file with libcurl, reporting progress to the transfer callback.
//
// The body is written to "<local path>.part" (reported as the cache-file
// name) and renamed into place only after a complete, successful transfer,
// so a failed or aborted attempt never leaves a file under the final name.
// An HTTP status of 400 or more fails; redirects are followed; a transfer
// that moves no byte for the stall timeout fails. Parent folders of the
// local path are created. The URL may hold characters that URLs must escape
// (a blank, say): they are percent-encoded on the wire only.
//
// Thread safety: one instance per thread; it keeps its libcurl handle so
// that consecutive downloads reuse the connection.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace brenvik {

class TransferCallback;

inline constexpr int kDownloadOk = 0;

class DownloadService {
 public:
  DownloadService();
  ~DownloadService();
  DownloadService(const DownloadService&) = delete;
  DownloadService& operator=(const DownloadService&) = delete;

  // Returns kDownloadOk (0) on success, another value on failure: libcurl's
  // error code, or CURLE_WRITE_ERROR (23) when the local file cannot be
  // created, written or renamed. Aborting gives CURLE_ABORTED_BY_CALLBACK (42).
  [[nodiscard]] int Download(const std::string& url, const std::filesystem::path& local_path,
                             TransferCallback& callback);

  // A short text for the last failure (for diagnostics and the terminal).
  const std::string& LastError() const { return last_error_; }

  // Default 60 s; tests shorten it.
  void SetStallTimeout(std::chrono::seconds timeout) { stall_timeout_ = timeout; }

  // Percent-encodes what a URL must escape (blanks, controls, non-ASCII,
  // and a few reserved characters) while keeping the URL's structure; a
  // backslash in the path becomes '/'.
  static std::string EncodeForWire(const std::string& url);

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  std::string last_error_;
  std::chrono::seconds stall_timeout_{60};
};

}  // namespace brenvik
