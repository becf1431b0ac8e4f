#include "transfer/download_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/temp_dir.h"
#include "transfer/transfer_callback.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using test::Behaviour;

class RecordingSink : public ProgressSink {
 public:
  void ShowFileProgress(uint32_t percent) override { shown.push_back(percent); }
  std::vector<uint32_t> shown;
};

// Sets the abort flag once the transfer has visibly begun to move data.
class AbortingSink : public ProgressSink {
 public:
  explicit AbortingSink(std::atomic<bool>& abort) : abort_(abort) {}
  void ShowFileProgress(uint32_t percent) override {
    if (percent >= 1) abort_ = true;
  }

 private:
  std::atomic<bool>& abort_;
};

class DownloadServiceTest : public ::testing::Test {
 protected:
  DownloadServiceTest() { service_.SetStallTimeout(std::chrono::seconds(10)); }

  std::string Fetch(const std::string& name) { return server_.Url() + name; }
  static std::string Part(const fs::path& path) { return path.string() + ".part"; }

  test::HttpServer server_;
  test::TempDir dir_;
  std::atomic<bool> abort_{false};
  TransferCallback callback_{abort_};
  DownloadService service_;
};

TEST_F(DownloadServiceTest, SavesTheBodyAndReportsTheCacheFile) {
  const std::string body = test::RandomBytes(300'000, 7);
  server_.Serve("1.0/data.cab", body);
  RecordingSink sink;
  callback_.Attach(&sink);
  const fs::path local = dir_.path() / "data.cab";

  ASSERT_EQ(service_.Download(Fetch("1.0/data.cab"), local, callback_), kDownloadOk)
      << service_.LastError();
  EXPECT_EQ(dir_.Read("data.cab"), body);
  EXPECT_FALSE(fs::exists(Part(local)));
  EXPECT_EQ(callback_.CacheFileName(), Part(local));
  EXPECT_EQ(callback_.BytesSoFar(), body.size());
  EXPECT_FALSE(callback_.TransferRunning());
  EXPECT_EQ(server_.Requests("1.0/data.cab"), 1);

  ASSERT_FALSE(sink.shown.empty());
  EXPECT_EQ(sink.shown.back(), 100u);
  for (size_t i = 1; i < sink.shown.size(); ++i) EXPECT_GE(sink.shown[i], sink.shown[i - 1]);
}

TEST_F(DownloadServiceTest, EmptyBodyIsAnEmptyFile) {
  server_.Serve("empty.txt", "");
  const fs::path local = dir_.path() / "empty.txt";
  ASSERT_EQ(service_.Download(Fetch("empty.txt"), local, callback_), kDownloadOk)
      << service_.LastError();
  EXPECT_TRUE(fs::is_regular_file(local));
  EXPECT_EQ(fs::file_size(local), 0u);
}

TEST_F(DownloadServiceTest, ErrorStatusFailsAndTheNextDownloadStillWorks) {
  const fs::path local = dir_.path() / "missing.bin";
  EXPECT_NE(service_.Download(Fetch("missing.bin"), local, callback_), kDownloadOk);
  EXPECT_NE(service_.LastError().find("404"), std::string::npos) << service_.LastError();
  EXPECT_FALSE(fs::exists(local));
  EXPECT_EQ(callback_.CacheFileName(), Part(local));
  EXPECT_FALSE(callback_.TransferRunning());

  server_.Serve("broken.bin", "never sent");
  server_.Misbehave("broken.bin", Behaviour{.status = 500});
  EXPECT_NE(service_.Download(Fetch("broken.bin"), dir_.path() / "broken.bin", callback_),
            kDownloadOk);
  EXPECT_NE(service_.LastError().find("500"), std::string::npos) << service_.LastError();
  EXPECT_FALSE(fs::exists(dir_.path() / "broken.bin"));

  server_.Serve("fine.bin", "fine");
  ASSERT_EQ(service_.Download(Fetch("fine.bin"), dir_.path() / "fine.bin", callback_), kDownloadOk)
      << service_.LastError();
  EXPECT_EQ(service_.LastError(), "");
  EXPECT_EQ(dir_.Read("fine.bin"), "fine");
}

TEST_F(DownloadServiceTest, FailedAttemptLeavesAnEarlierFileUntouched) {
  const fs::path local = dir_.Write("Setup.exe", "the old, complete file");
  server_.Serve("Setup.exe", test::RandomBytes(50'000, 3));
  server_.Misbehave("Setup.exe", Behaviour{.cut_after = 20'000});

  EXPECT_NE(service_.Download(Fetch("Setup.exe"), local, callback_), kDownloadOk);
  EXPECT_EQ(dir_.Read("Setup.exe"), "the old, complete file");
}

TEST_F(DownloadServiceTest, BodyCutShortFails) {
  const std::string body = test::RandomBytes(100'000, 11);
  server_.Serve("cut.bin", body);
  server_.Misbehave("cut.bin", Behaviour{.cut_after = 30'000});
  const fs::path local = dir_.path() / "cut.bin";

  EXPECT_NE(service_.Download(Fetch("cut.bin"), local, callback_), kDownloadOk);
  EXPECT_FALSE(fs::exists(local));
  // The partial body stays in the cache file for the caller to remove.
  ASSERT_TRUE(fs::exists(Part(local)));
  EXPECT_LE(fs::file_size(Part(local)), 30'000u);
}

TEST_F(DownloadServiceTest, StalledTransferFails) {
  server_.Serve("stall.bin", test::RandomBytes(10'000, 5));
  server_.Misbehave("stall.bin", Behaviour{.stall = std::chrono::seconds(60)});
  service_.SetStallTimeout(std::chrono::seconds(2));
  const fs::path local = dir_.path() / "stall.bin";

  EXPECT_NE(service_.Download(Fetch("stall.bin"), local, callback_), kDownloadOk);
  EXPECT_FALSE(fs::exists(local));
  server_.Stop();
}

TEST_F(DownloadServiceTest, FollowsRedirects) {
  server_.Serve("mirror/real.bin", "moved content");
  server_.Misbehave("old.bin", Behaviour{.redirect_to = Fetch("mirror/real.bin")});
  const fs::path local = dir_.path() / "old.bin";

  ASSERT_EQ(service_.Download(Fetch("old.bin"), local, callback_), kDownloadOk)
      << service_.LastError();
  EXPECT_EQ(dir_.Read("old.bin"), "moved content");
  EXPECT_EQ(server_.Requests("old.bin"), 1);
  EXPECT_EQ(server_.Requests("mirror/real.bin"), 1);
}

TEST_F(DownloadServiceTest, NamesAreEncodedOnTheWireAndFoldersCreated) {
  server_.Serve("1.0/Sub Dir/a file#1.bin", "spaced");
  const fs::path local = dir_.path() / "Sub Dir" / "deeper" / "a file#1.bin";

  ASSERT_EQ(service_.Download(Fetch("1.0/Sub Dir/a file#1.bin"), local, callback_), kDownloadOk)
      << service_.LastError();
  EXPECT_EQ(server_.Requests("1.0/Sub Dir/a file#1.bin"), 1);
  EXPECT_EQ(dir_.Read("Sub Dir/deeper/a file#1.bin"), "spaced");
}

TEST_F(DownloadServiceTest, AbortStopsATransferInFlight) {
  const std::string body = test::RandomBytes(1024 * 1024, 9);
  server_.Serve("slow.bin", body);
  server_.Misbehave("slow.bin", Behaviour{.trickle = std::chrono::milliseconds(20)});
  AbortingSink sink(abort_);
  callback_.Attach(&sink);
  const fs::path local = dir_.path() / "slow.bin";

  EXPECT_NE(service_.Download(Fetch("slow.bin"), local, callback_), kDownloadOk);
  EXPECT_EQ(service_.LastError(), "aborted");
  EXPECT_FALSE(fs::exists(local));
  EXPECT_EQ(callback_.CacheFileName(), Part(local));
  EXPECT_GT(callback_.BytesSoFar(), 0u);
  EXPECT_LT(callback_.BytesSoFar(), body.size());
  EXPECT_FALSE(callback_.TransferRunning());
  server_.Stop();
}

TEST_F(DownloadServiceTest, AbortBeforeTheStartFetchesNothing) {
  server_.Serve("a.bin", "content");
  abort_ = true;
  EXPECT_NE(service_.Download(Fetch("a.bin"), dir_.path() / "a.bin", callback_), kDownloadOk);
  EXPECT_EQ(server_.TotalRequests(), 0);
  EXPECT_FALSE(fs::exists(dir_.path() / "a.bin"));
}

TEST_F(DownloadServiceTest, FileUrls) {
  const fs::path source = dir_.Write("source dir/Readme 1.txt", "local bytes");
  const fs::path local = dir_.path() / "out" / "Readme.txt";
  ASSERT_EQ(service_.Download("file://" + source.string(), local, callback_), kDownloadOk)
      << service_.LastError();
  EXPECT_EQ(dir_.Read("out/Readme.txt"), "local bytes");

  const fs::path missing = dir_.path() / "out" / "missing.txt";
  EXPECT_NE(service_.Download("file://" + (dir_.path() / "nope.txt").string(), missing, callback_),
            kDownloadOk);
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(DownloadServiceTest, WriteFailureFails) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  server_.Serve("big.bin", test::RandomBytes(200'000, 2));
  const fs::path local = dir_.path() / "big.bin";
  fs::create_symlink("/dev/full", Part(local));

  EXPECT_NE(service_.Download(Fetch("big.bin"), local, callback_), kDownloadOk);
  EXPECT_NE(service_.LastError().find(std::strerror(ENOSPC)), std::string::npos)
      << service_.LastError();
  EXPECT_FALSE(fs::exists(local));
}

TEST_F(DownloadServiceTest, RenameFailureFails) {
  server_.Serve("blocked", "content");
  const fs::path local = dir_.path() / "blocked";
  dir_.Write("blocked/occupant", "a folder in the way");

  EXPECT_NE(service_.Download(Fetch("blocked"), local, callback_), kDownloadOk);
  EXPECT_NE(service_.LastError().find("rename"), std::string::npos) << service_.LastError();
  EXPECT_TRUE(fs::is_directory(local));
}

TEST(EncodeForWire, EscapesThePathOnly) {
  EXPECT_EQ(DownloadService::EncodeForWire("http://h:8080/Orvcd/1.0/a file.bin"),
            "http://h:8080/Orvcd/1.0/a%20file.bin");
  EXPECT_EQ(DownloadService::EncodeForWire("http://h/x/#1?.bin"), "http://h/x/%231%3F.bin");
  EXPECT_EQ(DownloadService::EncodeForWire("http://h/1.0\\Data\\b.cab"), "http://h/1.0/Data/b.cab");
  EXPECT_EQ(DownloadService::EncodeForWire("http://h/caf\xC3\xA9\t\"<>^`{|}"),
            "http://h/caf%C3%A9%09%22%3C%3E%5E%60%7B%7C%7D");
  // An existing escape passes as it is; a lone '%' is escaped.
  EXPECT_EQ(DownloadService::EncodeForWire("http://h/a%20b/100%"), "http://h/a%20b/100%25");
  EXPECT_EQ(DownloadService::EncodeForWire("http://h/%zz"), "http://h/%25zz");
  EXPECT_EQ(DownloadService::EncodeForWire("http://user@h:1"), "http://user@h:1");
  EXPECT_EQ(DownloadService::EncodeForWire("file:///tmp/a b"), "file:///tmp/a%20b");
  const std::string plain = "https://downloads.example/Orvcd/FileList.txt";
  EXPECT_EQ(DownloadService::EncodeForWire(plain), plain);
}

}  // namespace
}  // namespace brenvik
