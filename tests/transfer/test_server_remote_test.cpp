// The test HTTP server as the Windows tests reach it: the control requests
// that carry every HttpServer method to brenvik-test-http-host, and the
// server itself seen through the download service. On Linux the server runs
// in this process; on Windows every call below crosses to the host.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>

#include "support/http_server.h"
#include "support/http_server_control.h"
#include "support/temp_dir.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"

namespace brenvik::test {
namespace {

using std::chrono::milliseconds;

// A path with a blank, '%', '+', '#' and letters outside ASCII.
const std::string kAwkward = "1.0/Sub Dir/Grüße 100% + #1 日本.bin";

void ExpectSame(const Behaviour& got, const Behaviour& want) {
  EXPECT_EQ(got.status, want.status);
  EXPECT_EQ(got.cut_after, want.cut_after);
  EXPECT_EQ(got.stall, want.stall);
  EXPECT_EQ(got.trickle, want.trickle);
  EXPECT_EQ(got.redirect_to, want.redirect_to);
  EXPECT_EQ(got.silence, want.silence);
  EXPECT_EQ(got.chunked, want.chunked);
  EXPECT_EQ(got.filler, want.filler);
  EXPECT_EQ(got.retry_after, want.retry_after);
  EXPECT_EQ(got.times, want.times);
  EXPECT_EQ(got.etag, want.etag);
  EXPECT_EQ(got.ignore_range, want.ignore_range);
  EXPECT_EQ(got.content_encoding, want.content_encoding);
  EXPECT_EQ(got.trickle_bytes, want.trickle_bytes);
}

std::string RefusalOf(const std::string& text) {
  try {
    BehaviourOfText(text);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "accepted";
}

TEST(TestServerWireTest, BehaviourTextCarriesEveryField) {
  const Behaviour every{.status = 503,
                        .cut_after = 1234,
                        .stall = milliseconds(1500),
                        .trickle = milliseconds(7),
                        .redirect_to = "http://127.0.0.1:1/a b?x=1&y=2",
                        .silence = std::chrono::hours(1),
                        .chunked = true,
                        .filler = size_t{5} << 32,  // beyond 32 bits
                        .retry_after = "Fri, 31 Dec 2100 23:59:59 GMT",
                        .times = 2,
                        .etag = "\"v=1\"",
                        .ignore_range = true,
                        .content_encoding = "gzip",
                        .trickle_bytes = 50};
  ExpectSame(BehaviourOfText(BehaviourText(every)), every);
  ExpectSame(BehaviourOfText(BehaviourText(Behaviour{})), Behaviour{});
  // Zero is a value of its own, not "unset".
  const Behaviour zeros{.cut_after = 0, .filler = size_t{0}, .times = 0};
  ExpectSame(BehaviourOfText(BehaviourText(zeros)), zeros);
}

TEST(TestServerWireTest, BehaviourTextRefusesWhatItCannotCarryOrRead) {
  EXPECT_THROW(BehaviourText(Behaviour{.etag = "\"a\"\n\"b\""}), std::invalid_argument);
  EXPECT_THROW(BehaviourText(Behaviour{.retry_after = "5\r"}), std::invalid_argument);
  EXPECT_NE(RefusalOf("stutter=1\n").find("stutter"), std::string::npos);
  EXPECT_NE(RefusalOf("status=4o4\n").find("status=4o4"), std::string::npos);
  EXPECT_NE(RefusalOf("cut_after=-1\n").find("cut_after"), std::string::npos);
  EXPECT_NE(RefusalOf("chunked=yes\n").find("chunked"), std::string::npos);
  EXPECT_NE(RefusalOf("status\n").find("status"), std::string::npos);
}

TEST(TestServerWireTest, PathsTravelAsPlainCharactersAndComeBackWhole) {
  for (const std::string& path : {kAwkward, std::string("a?b=c&d.bin"), std::string("tab\there"),
                                  std::string(""), std::string("~-._/x/")}) {
    const std::string encoded = EncodePath(path);
    EXPECT_EQ(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                        "0123456789-._~/%"),
              std::string::npos)
        << encoded;
    EXPECT_EQ(DecodePath(encoded), path);
  }
  EXPECT_EQ(EncodePath("a b%c+"), "a%20b%25c%2B");
  EXPECT_EQ(DecodePath("%2f%C3%a4"), "/\xC3\xA4");
  for (const char* broken : {"%", "a%2", "%zz", "%2G", "%%41"}) {
    EXPECT_EQ(DecodePath(broken), std::nullopt) << broken;
  }
}

// Downloads `path` from the server at `base` into a temporary folder.
class Fetcher {
 public:
  Fetcher() { service_.SetStallTimeout(std::chrono::seconds(20)); }
  DownloadResult Get(const std::string& base, const std::string& path) {
    return service_.Download(
        base + path,
        DownloadTarget{.folder = dir_.path(), .name = "got.bin", .partial_name = "got.bin.~part"},
        callback_);
  }
  std::string Got() const { return dir_.Read("got.bin"); }

 private:
  TempDir dir_;
  std::atomic<bool> abort_{false};
  TransferCallback callback_{abort_};
  DownloadService service_;
};

class ControlHostTest : public ::testing::Test {
 protected:
  ControlHostTest() {
    const ControlReply created = host_.Handle("POST", "/servers", "");
    EXPECT_EQ(created.status, 200) << created.text;
    const size_t blank = created.text.find(' ');
    base_ = "/servers/" + created.text.substr(0, blank);
    url_ = "http://127.0.0.1:" + created.text.substr(blank + 1) + "/";
  }
  ControlReply Ask(const char* method, const std::string& what, std::string body = "") {
    return host_.Handle(method, base_ + what, std::move(body));
  }

  ControlHost host_;
  std::string base_;
  std::string url_;
  Fetcher fetcher_;
};

TEST_F(ControlHostTest, ServesMisbehavesAndCountsUnderTheDecodedName) {
  const std::string at = "/" + EncodePath(kAwkward);
  ASSERT_EQ(Ask("PUT", "/files" + at, "content").status, 200);
  ASSERT_EQ(Ask("PUT", "/behaviours" + at, "status=404\n").status, 200);
  EXPECT_EQ(fetcher_.Get(url_, kAwkward).http_status, 404);
  ASSERT_EQ(Ask("DELETE", "/behaviours" + at).status, 200);
  const DownloadResult result = fetcher_.Get(url_, kAwkward);
  ASSERT_TRUE(result.Ok()) << result.reason;
  EXPECT_EQ(fetcher_.Got(), "content");
  EXPECT_EQ(Ask("GET", "/requests" + at).text, "2");
  EXPECT_EQ(Ask("GET", "/total").text, "2");
  EXPECT_EQ(Ask("GET", "/range" + at).text, "");
  EXPECT_GE(std::stoi(Ask("GET", "/connections").text), 1);

  ASSERT_EQ(Ask("DELETE", "/files" + at).status, 200);
  EXPECT_EQ(fetcher_.Get(url_, kAwkward).http_status, 404);
  ASSERT_EQ(Ask("POST", "/hold", "count=1\nlimit_ms=1\n").status, 200);
  EXPECT_EQ(fetcher_.Get(url_, "x").http_status, 404);
  EXPECT_EQ(Ask("GET", "/most-held").text, "1");
}

TEST_F(ControlHostTest, RefusesWhatItCannotDoAndSaysWhy) {
  const auto refusal = [](const ControlReply& reply) {
    return std::to_string(reply.status) + " " + reply.text;
  };
  EXPECT_EQ(refusal(host_.Handle("GET", "/servers/999/total", "")), "404 no test server 999");
  EXPECT_EQ(refusal(host_.Handle("GET", "/servers/x1/total", "")).substr(0, 3), "400");
  EXPECT_EQ(refusal(host_.Handle("GET", "/servers", "")).substr(0, 3), "404");
  EXPECT_NE(refusal(Ask("PUT", "/files/a%zz", "")).find("400 a broken percent escape"),
            std::string::npos);
  EXPECT_NE(refusal(Ask("PUT", "/behaviours/a", "status=x\n")).find("400 not a number"),
            std::string::npos);
  EXPECT_EQ(refusal(Ask("POST", "/hold", "count=2\n")).substr(0, 3), "400");
  EXPECT_NE(refusal(Ask("GET", "/files/a")).find("404 no such control request: GET"),
            std::string::npos);
  EXPECT_EQ(refusal(Ask("GET", "/total?x")).substr(0, 3), "404");

  EXPECT_EQ(Ask("DELETE", "").status, 200);
  EXPECT_EQ(refusal(Ask("GET", "/total")).substr(0, 3), "404");
  EXPECT_FALSE(fetcher_.Get(url_, "x").Ok());  // nobody listens there any more
}

// The server through its own methods: on Windows, the client and the host
// together.
TEST(TestServerTest, LargeFilesUnderAwkwardNamesArriveWhole) {
  HttpServer server;
  const std::string content = RandomBytes(24 << 20, 11);
  server.Serve(kAwkward, content);
  Fetcher fetcher;
  const DownloadResult result = fetcher.Get(server.Url(), kAwkward);
  ASSERT_TRUE(result.Ok()) << result.reason;
  EXPECT_TRUE(fetcher.Got() == content);
  EXPECT_EQ(server.Requests(kAwkward), 1);
  EXPECT_EQ(server.TotalRequests(), 1);
}

TEST(TestServerTest, MisbehaviourReachesTheServerAndEnds) {
  HttpServer server;
  server.Serve("busy.bin", "ready");
  server.Misbehave("busy.bin", Behaviour{.status = 503, .retry_after = "7", .times = 1});
  Fetcher fetcher;
  DownloadResult result = fetcher.Get(server.Url(), "busy.bin");
  EXPECT_EQ(result.http_status, 503);
  EXPECT_EQ(result.retry_after, std::chrono::seconds(7));
  result = fetcher.Get(server.Url(), "busy.bin");  // only the first request misbehaved
  ASSERT_TRUE(result.Ok()) << result.reason;

  server.Misbehave("busy.bin", Behaviour{.status = 404});
  EXPECT_EQ(fetcher.Get(server.Url(), "busy.bin").http_status, 404);
  server.Behave("busy.bin");
  EXPECT_TRUE(fetcher.Get(server.Url(), "busy.bin").Ok());
  server.Remove("busy.bin");
  EXPECT_EQ(fetcher.Get(server.Url(), "busy.bin").http_status, 404);
  EXPECT_EQ(server.Requests("busy.bin"), 5);
  EXPECT_EQ(server.LastRange("busy.bin"), "");
  EXPECT_GE(server.Connections(), 1);
}

}  // namespace
}  // namespace brenvik::test
