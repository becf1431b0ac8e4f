#include "tools/release_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using test::RandomBytes;
using test::TempDir;

struct Fetched {
  CURLcode result = CURLE_OK;
  long status = 0;
  std::string body;
  curl_off_t content_length = -1;
  long new_connections = -1;
};

// One libcurl handle; consecutive fetches may reuse its connection.
class Client {
 public:
  Client() : curl_(curl_easy_init(), &curl_easy_cleanup) {}

  // `url` goes out exactly as written: no "../" folding on our side.
  Fetched Get(const std::string& url, bool head = false) {
    Fetched fetched;
    CURL* curl = curl_.get();
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
    return fetched;
  }

  // Bytes received so far by the fetch in progress (any thread may read).
  size_t Received() const { return received_.load(); }

 private:
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
