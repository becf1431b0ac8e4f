#include "support/release_fixture.h"

#include "verify/md5.h"

namespace brenvik::test {

Release::Release(HttpServer& server, std::string version)
    : server_(server), version_(std::move(version)) {}

void Release::Add(const std::string& name, std::string content) {
  if (!files_.count(name)) order_.push_back(name);
  server_.Serve(PathOf(name), content);
  files_[name] = std::move(content);
}

std::string Release::CatalogueText(uint64_t scratch) const {
  std::string text = "# test release\n" + version_ + "\n" + std::to_string(scratch) + "\n";
  for (const auto& name : order_) {
    const std::string& content = files_.at(name);
    text += name + "\t" + Md5Hex(Md5Of(content.data(), content.size())) + "\t" +
            std::to_string(content.size()) + "\n";
  }
  return text;
}

void Release::Publish(uint64_t scratch) { server_.Serve("FileList.txt", CatalogueText(scratch)); }

std::string FakeFreeSpace::DriveOf(const std::string&) { return "/test-drive"; }

std::optional<uint64_t> FakeFreeSpace::AvailableBytes(const std::string&) {
  ++queries_;
  return free_.load();
}

InstallerStart FakeLauncher::Start(const std::string& path, const std::string&) {
  std::lock_guard lock(mutex_);
  started_.push_back(path);
  return {result_, result_ ? std::string() : failure_};
}

void FakeLauncher::Reset(bool result, std::string failure) {
  std::lock_guard lock(mutex_);
  result_ = result;
  failure_ = std::move(failure);
  started_.clear();
}

std::vector<std::string> FakeLauncher::Started() const {
  std::lock_guard lock(mutex_);
  return started_;
}

SessionConfig WindowTestConfig(const Release& release, const std::string& default_folder,
                               const TempDir& work) {
  SessionConfig config;
  config.base_url = release.BaseUrl();
  config.default_folder = default_folder;
  config.catalogue_file = work.path() / "FileList.txt";
  config.settings_file = work.path() / "OrvBrenvik.ini";
  config.support_contact = "help@example.test";
  config.pause = std::chrono::milliseconds(20);
  config.stall_timeout = std::chrono::seconds(5);
  return config;
}

}  // namespace brenvik::test
