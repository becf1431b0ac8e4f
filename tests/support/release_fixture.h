#pragma once
// A release on a real HTTP server in the test, a working folder and a
// download folder, and fakes for the seams a run asks through (free space,
// the installer). Used by the run engine's integration tests.

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/session_config.h"
#include "platform/free_space.h"
#include "platform/installer.h"
#include "support/http_server.h"
#include "support/temp_dir.h"

namespace brenvik::test {

// Files of one release, served under <version>/<name>, with FileList.txt at
// the root.
class Release {
 public:
  explicit Release(HttpServer& server, std::string version = "1.0");

  void Add(const std::string& name, std::string content);
  // Serves FileList.txt made from the files added so far.
  void Publish(uint64_t scratch = 0);
  std::string CatalogueText(uint64_t scratch = 0) const;
  std::string PathOf(const std::string& name) const { return version_ + "/" + name; }
  const std::string& Content(const std::string& name) const { return files_.at(name); }
  const std::map<std::string, std::string>& Files() const { return files_; }
  std::string BaseUrl() const { return server_.Url(); }
  const std::string& Version() const { return version_; }

 private:
  HttpServer& server_;
  std::string version_;
  std::map<std::string, std::string> files_;
  std::vector<std::string> order_;
};

// The settings a window face's test runs with: `release` as the server,
// FileList.txt and OrvBrenvik.ini in `work`, short pauses and time-outs.
SessionConfig WindowTestConfig(const Release& release, const std::string& default_folder,
                               const TempDir& work);

// Free space that tests set per call; plenty by default.
class FakeFreeSpace final : public FreeSpace {
 public:
  std::string DriveOf(const std::string& path) override;
  std::optional<uint64_t> AvailableBytes(const std::string& path) override;
  void Set(uint64_t bytes) { free_ = bytes; }
  int Queries() const { return queries_.load(); }

 private:
  std::atomic<uint64_t> free_{UINT64_MAX / 2};
  std::atomic<int> queries_{0};
};

class FakeLauncher final : public InstallerLauncher {
 public:
  explicit FakeLauncher(bool result = true) : result_(result) {}
  InstallerStart Start(const std::string& path, const std::string& working_dir) override;
  std::vector<std::string> Started() const;
  // Later starts succeed, or fail with `failure` as the reason.
  void Reset(bool result, std::string failure = {});

 private:
  bool result_;
  std::string failure_;
  mutable std::mutex mutex_;
  std::vector<std::string> started_;
};

}  // namespace brenvik::test
