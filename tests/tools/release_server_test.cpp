#include "tools/release_server.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/progress_sinks.h"
#include "support/temp_dir.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"

namespace brenvik {
namespace {

using test::AbortingSink;

namespace fs = std::filesystem;
using test::RandomBytes;
using test::TempDir;

struct Fetched {
  CURLcode result = CURLE_OK;
  long status = 0;
  std::string body;
  curl_off_t content_length = -1;
  long new_connections = -1;
  std::map<std::string, std::string> headers;  // names in lower case; the last of each

  std::string Header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

// One libcurl handle; consecutive fetches may reuse its connection.
class Client {
 public:
  Client() : curl_(curl_easy_init(), &curl_easy_cleanup) {}

  // `url` goes out exactly as written: no "../" folding on our side.
  Fetched Get(const std::string& url, bool head = false,
              const std::vector<std::string>& request_headers = {}) {
    Fetched fetched;
    CURL* curl = curl_.get();
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list(nullptr, &curl_slist_free_all);
    for (const std::string& header : request_headers) {
      list.reset(curl_slist_append(list.release(), header.c_str()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Client::Header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &fetched.headers);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    if (head) {
      curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Client::Write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    body_ = &fetched.body;
    fetched.result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &fetched.status);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &fetched.content_length);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &fetched.new_connections);
    body_ = nullptr;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    return fetched;
  }

  // Bytes received so far by the fetch in progress (any thread may read).
  size_t Received() const { return received_.load(); }

 private:
  static size_t Header(char* data, size_t size, size_t count, void* headers) {
    const std::string line(data, size * count);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      value.erase(value.find_last_not_of("\r\n ") + 1);
      (*static_cast<std::map<std::string, std::string>*>(headers))[name] = value;
    }
    return size * count;
  }

  static size_t Write(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<Client*>(self);
    client->body_->append(data, size * count);
    client->received_ += size * count;
    return size * count;
  }

  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_;
  std::string* body_ = nullptr;
  std::atomic<size_t> received_{0};
};

class ReleaseServerTest : public ::testing::Test {
 protected:
  TempDir temp_;
  const fs::path root_ = temp_.path() / "release";
};

TEST_F(ReleaseServerTest, ServesFilesByteForByteWithTheirLength) {
  const std::string big = RandomBytes(300 * 1024 + 17, 7);  // several chunks, a partial last one
  temp_.Write("release/FileList.txt", "1.0\n0\n");
  temp_.Write("release/1.0/Data/one.cab", big);
  temp_.Write("release/1.0/with space.txt", "spaced out\n");
  temp_.Write("release/1.0/empty.bin", "");
  ReleaseServer server(root_);
  EXPECT_EQ(server.Url(), "");
  ASSERT_TRUE(server.Start());
  ASSERT_EQ(server.Url(), "http://127.0.0.1:" + std::to_string(server.Port()) + "/");

  Client client;
  const Fetched one = client.Get(server.Url() + "1.0/Data/one.cab");
  ASSERT_EQ(one.result, CURLE_OK);
  EXPECT_EQ(one.status, 200);
  EXPECT_EQ(one.content_length, static_cast<curl_off_t>(big.size()));
  EXPECT_TRUE(one.body == big);

  const Fetched list = client.Get(server.Url() + "FileList.txt");
  EXPECT_EQ(list.status, 200);
  EXPECT_EQ(list.body, "1.0\n0\n");
  EXPECT_EQ(list.new_connections, 0) << "the connection should have been kept alive";

  const Fetched spaced = client.Get(server.Url() + "1.0/with%20space.txt");
  EXPECT_EQ(spaced.status, 200);
  EXPECT_EQ(spaced.body, "spaced out\n");

  const Fetched empty = client.Get(server.Url() + "1.0/empty.bin");
  EXPECT_EQ(empty.result, CURLE_OK);
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.content_length, 0);
  EXPECT_EQ(empty.body, "");

  const Fetched head = client.Get(server.Url() + "1.0/Data/one.cab", /*head=*/true);
  EXPECT_EQ(head.result, CURLE_OK);
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.content_length, static_cast<curl_off_t>(big.size()));
  EXPECT_EQ(head.body, "");
}

TEST_F(ReleaseServerTest, AnythingButAFileInsideTheRootIsNotFound) {
  temp_.Write("secret.txt", "outside the release\n");
  temp_.Write("release/1.0/inside.txt", "inside\n");
  fs::create_symlink(temp_.path() / "secret.txt", root_ / "1.0" / "out-link.txt");
  fs::create_symlink(root_ / "1.0" / "inside.txt", root_ / "in-link.txt");
  fs::create_directory_symlink(temp_.path(), root_ / "up");
  ReleaseServer server(root_);
  ASSERT_TRUE(server.Start());
  Client client;

  EXPECT_EQ(client.Get(server.Url() + "1.0/inside.txt").status, 200);
  EXPECT_EQ(client.Get(server.Url() + "in-link.txt").body, "inside\n");
  for (const char* path :
       {"../secret.txt", "1.0/../../secret.txt", "%2e%2e/secret.txt",
        "1.0/%2E%2E/%2e%2e/secret.txt", "..%2fsecret.txt", "1.0/out-link.txt", "up/secret.txt",
        "missing.txt", "1.0/", "1.0", "", "1.0/inside.txt%00.png"}) {
    const Fetched fetched = client.Get(server.Url() + path);
    EXPECT_EQ(fetched.status, 404) << path;
    EXPECT_EQ(fetched.body.find("outside"), std::string::npos) << path;
  }
}

TEST_F(ReleaseServerTest, ThrottledTransferIsCompleteAndStopEndsItEarly) {
  const std::string small = RandomBytes(3000, 3);
  temp_.Write("release/small.bin", small);
  temp_.Write("release/big.bin", RandomBytes(1024 * 1024, 4));  // many minutes at this rate
  ReleaseServer server(root_, /*bytes_per_second=*/20000);
  ASSERT_TRUE(server.Start());

  {
    Client quick;  // gone before Stop, so no idle connection holds it up
    EXPECT_TRUE(quick.Get(server.Url() + "small.bin").body == small);
  }

  Client slow;
  Fetched big;
  std::thread fetch([&] { big = slow.Get(server.Url() + "big.bin"); });
  while (slow.Received() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  server.Stop();  // must not wait for the rest of the trickle
  fetch.join();
  EXPECT_NE(big.result, CURLE_OK);
  EXPECT_LT(big.body.size(), size_t{1024 * 1024});
}

// Sets a file's modification time `seconds_ago` seconds back.
void Age(const fs::path& file, time_t seconds_ago) {
  const struct timespec times[2] = {{std::time(nullptr) - seconds_ago, 0},
                                    {std::time(nullptr) - seconds_ago, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

TEST_F(ReleaseServerTest, ValidatorsAreStrongAndChangeWithTheFile) {
  const fs::path file = temp_.Write("release/1.0/Install.exe", "first build\n");
  Age(file, 3600);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  ReleaseServer server(root_);
  ASSERT_TRUE(server.Start());
  Client client;

  const Fetched first = client.Get(server.Url() + "1.0/Install.exe");
  const std::string etag = first.Header("etag");
  ASSERT_GE(etag.size(), 3u);
  EXPECT_EQ(etag.front(), '"') << "a weak ETag cannot be used to resume: " << etag;
  EXPECT_EQ(etag.back(), '"');
  EXPECT_EQ(curl_getdate(first.Header("last-modified").c_str(), nullptr), info.st_mtime)
      << first.Header("last-modified");
  EXPECT_EQ(first.Header("accept-ranges"), "bytes");
  EXPECT_EQ(client.Get(server.Url() + "1.0/Install.exe", /*head=*/true).Header("etag"), etag);

  // Replaced in place with a file of the same size and the same date, and
  // then written over where it is: a new ETag each time.
  temp_.Write("release/1.0/new.exe", "fixed build\n");
  Age(root_ / "1.0" / "new.exe", 3600);
  fs::rename(root_ / "1.0" / "new.exe", file);
  const std::string replaced = client.Get(server.Url() + "1.0/Install.exe").Header("etag");
  EXPECT_NE(replaced, etag);
  temp_.Write("release/1.0/Install.exe", "fixed again\n");
  EXPECT_NE(client.Get(server.Url() + "1.0/Install.exe").Header("etag"), replaced);
}

TEST_F(ReleaseServerTest, RangeIsAnsweredOnlyForTheFileTheClientHoldsPartOf) {
  const std::string old_bytes = RandomBytes(200 * 1024, 11);
  const std::string new_bytes = RandomBytes(200 * 1024, 12);
  const fs::path file = temp_.Write("release/1.0/Data/one.cab", old_bytes);
  Age(file, 3600);
  ReleaseServer server(root_);
  ASSERT_TRUE(server.Start());
  const std::string url = server.Url() + "1.0/Data/one.cab";
  Client client;
  const Fetched whole = client.Get(url);
  const std::string etag = whole.Header("etag");
  const std::string date = whole.Header("last-modified");
  const std::string rest = "Range: bytes=1000-";

  const Fetched by_tag = client.Get(url, false, {rest, "If-Range: " + etag});
  EXPECT_EQ(by_tag.status, 206);
  EXPECT_TRUE(by_tag.body == old_bytes.substr(1000));
  EXPECT_EQ(by_tag.Header("content-range"), "bytes 1000-204799/204800");
  EXPECT_EQ(client.Get(url, false, {rest, "If-Range: " + date}).status, 206);
  EXPECT_EQ(client.Get(url, false, {rest}).status, 206);
  // A range past the end is refused with the size, not promised as a 206.
  const Fetched past = client.Get(url, false, {"Range: bytes=204800-", "If-Range: " + etag});
  EXPECT_EQ(past.status, 416);
  EXPECT_EQ(past.Header("content-range"), "bytes */204800");
  EXPECT_EQ(past.body, "");

  for (const std::string& stale : {"W/" + etag, std::string("\"something-else\""),
                                   std::string("Sun, 06 Nov 1994 08:49:37 GMT")}) {
    const Fetched fetched = client.Get(url, false, {rest, "If-Range: " + stale});
    EXPECT_EQ(fetched.status, 200) << stale;
    EXPECT_TRUE(fetched.body == old_bytes) << stale;
    EXPECT_EQ(fetched.Header("content-range"), "") << stale;
  }

  // The publisher replaced the file: the old validators get the new file whole.
  temp_.Write("release/1.0/Data/one.cab", new_bytes);
  Age(file, 60);
  for (const std::string& old_validator : {etag, date}) {
    const Fetched fetched = client.Get(url, false, {rest, "If-Range: " + old_validator});
    EXPECT_EQ(fetched.status, 200) << old_validator;
    EXPECT_TRUE(fetched.body == new_bytes) << old_validator;
  }
}

TEST_F(ReleaseServerTest, ADateNotYetPastDoesNotResume) {
  // Two writes within one second share a Last-Modified date, so a date of
  // this very second cannot tell them apart; nor can one ahead of the clock,
  // as a file copied from a machine whose clock runs fast has.
  const std::string bytes = RandomBytes(4096, 13);
  Age(temp_.Write("release/fresh.bin", bytes), -3600);
  ReleaseServer server(root_);
  ASSERT_TRUE(server.Start());
  Client client;
  const std::string url = server.Url() + "fresh.bin";
  const std::string date = client.Get(url).Header("last-modified");
  ASSERT_FALSE(date.empty());
  const Fetched fetched = client.Get(url, false, {"Range: bytes=100-", "If-Range: " + date});
  EXPECT_EQ(fetched.status, 200);
  EXPECT_TRUE(fetched.body == bytes);
}

// What the demo does: a download from the release server, cancelled, goes
// on where it stopped in a later run (a new server on the same folder).
TEST_F(ReleaseServerTest, ACancelledDownloadResumesFromWhereItStopped) {
  const std::string bytes = RandomBytes(400 * 1024, 14);
  Age(temp_.Write("release/1.0/Data/one.cab", bytes), 3600);
  const DownloadTarget target{.folder = temp_.path() / "cd",
                              .name = "Data/one.cab",
                              .partial_name = "Data/one.cab.~part",
                              .expected_size = bytes.size()};
  fs::create_directory(target.folder);
  std::atomic<bool> abort{false};
  TransferCallback callback(abort);
  {
    ReleaseServer slow(root_, /*bytes_per_second=*/100 * 1024);
    ASSERT_TRUE(slow.Start());
    AbortingSink sink(abort);
    callback.Attach(&sink);
    DownloadService service;
    EXPECT_EQ(service.Download(slow.Url() + "1.0/Data/one.cab", target, callback).outcome,
              DownloadOutcome::kAborted);
    callback.Attach(nullptr);
  }
  abort = false;
  ASSERT_TRUE(fs::exists(target.folder / target.partial_name)) << "nothing kept to resume";
  const uintmax_t kept = fs::file_size(target.folder / target.partial_name);
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, bytes.size());

  std::vector<std::string> log;
  std::mutex log_mutex;
  ReleaseServer server(root_);
  server.LogRequests([&](const std::string& line) {
    std::lock_guard lock(log_mutex);
    log.push_back(line);
  });
  ASSERT_TRUE(server.Start());
  const uint64_t received_before = callback.BytesReceived();
  {
    DownloadService service;  // gone before Stop, so no idle connection holds it up
    const DownloadResult result =
        service.Download(server.Url() + "1.0/Data/one.cab", target, callback);
    ASSERT_TRUE(result.Ok()) << result.reason;
  }
  EXPECT_EQ(callback.BytesReceived() - received_before, bytes.size() - kept);
  EXPECT_TRUE(temp_.Read("cd/Data/one.cab") == bytes);
  server.Stop();
  EXPECT_EQ(log, std::vector<std::string>{"GET /1.0/Data/one.cab 206"});
}

TEST_F(ReleaseServerTest, StartFailsWithoutAFolderOrAPort) {
  ReleaseServer missing(temp_.path() / "no-such-folder");
  EXPECT_FALSE(missing.Start());
  EXPECT_EQ(missing.Url(), "");

  temp_.Write("release/a.txt", "a");
  ReleaseServer first(root_);
  ASSERT_TRUE(first.Start());
  ReleaseServer second(root_);
  EXPECT_FALSE(second.Start(first.Port()));  // already taken
  EXPECT_FALSE(first.Start());               // a server starts once
}

}  // namespace
}  // namespace brenvik
