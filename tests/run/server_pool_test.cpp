#include "run/server_pool.h"

#include <gtest/gtest.h>

#include <atomic>

#include "transfer/download_service.h"

namespace brenvik::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class ServerPoolTest : public ::testing::Test {
 protected:
  ServerPool Pool(std::vector<std::string> servers, int rows = 10) {
    return ServerPool(
        servers, "1.0 beta", rows, [this] { return milliseconds(now_ms_.load()); },
        milliseconds(100));
  }
  std::atomic<milliseconds::rep> now_ms_{5000};
};

TEST_F(ServerPoolTest, DownloadsAreSpreadAndARowComesBackToAnotherServer) {
  ServerPool pool = Pool({"http://a.test/", "https://u@b.test:8443/cd/", "http://a.test/"});
  ASSERT_EQ(pool.Count(), 2) << "a server given twice counts once";
  EXPECT_EQ(pool.At(1).file_url_prefix, "https://u@b.test:8443/cd/1.0 beta/");
  EXPECT_EQ(pool.At(1).wire_url_prefix, "https://u@b.test:8443/cd/1.0%20beta/");
  EXPECT_EQ(pool.At(1).host, "b.test:8443");

  // At once: one each. One after the other: they take turns.
  EXPECT_EQ(pool.Take(0), 0);
  EXPECT_EQ(pool.Take(1), 1);
  pool.Done(0);
  pool.Done(1);
  EXPECT_EQ(pool.Take(2), 0);
  pool.Done(0);

  // Row 3's last fetch went to server 1; it comes back (it failed) while
  // server 1 is the less busy one: server 0 takes it all the same.
  EXPECT_EQ(pool.Take(3), 1);
  pool.Done(1);
  const int busy = pool.Take(4);
  ASSERT_EQ(busy, 0);
  EXPECT_EQ(pool.Take(3), 0) << "passed over the server the row failed from";
  EXPECT_EQ(pool.HostShownFor(3), "a.test");
  EXPECT_EQ(pool.LastOf(9), -1);
}

TEST_F(ServerPoolTest, AFailingServerRestsLongerEachTimeAndWakes) {
  ServerPool pool = Pool({"http://a.test/", "http://b.test/"});
  EXPECT_TRUE(pool.Rest(0, std::nullopt)) << "b is awake to take the row";
  for (int row = 0; row < 4; ++row) {
    EXPECT_EQ(pool.Take(row), 1);
    pool.Done(1);
  }
  now_ms_ += 100;  // one pause: awake again
  EXPECT_EQ(pool.Take(5, 0), 0);
  pool.Done(0);
  EXPECT_TRUE(pool.Rest(0, std::nullopt));  // its second failure in a row: two pauses
  now_ms_ += 150;
  EXPECT_EQ(pool.Take(6, 0), 1) << "still resting";
  pool.Done(1);
  now_ms_ += 50;
  EXPECT_EQ(pool.Take(7, 0), 0);
  pool.Done(0);

  // A Retry-After longer than the back-off is kept; a served file starts
  // the back-off afresh.
  EXPECT_TRUE(pool.Rest(1, seconds(30)));
  now_ms_ += 29'000;
  EXPECT_EQ(pool.Take(8, 1), 0);
  pool.Done(0);
  // With every server resting, the one that wakes first takes the row.
  EXPECT_FALSE(pool.Rest(0, std::nullopt)) << "b still rests: nobody else is awake";
  EXPECT_EQ(pool.Take(9), 0);
  pool.Done(0);
  now_ms_ += 2000;  // both awake
  pool.Served(0);
  EXPECT_TRUE(pool.Rest(0, std::nullopt));
  now_ms_ += 100;
  EXPECT_EQ(pool.Take(9, 0), 0) << "one pause again: a served a file since its last failures";
  pool.Done(0);
}

TEST_F(ServerPoolTest, OneServerNeverRests) {
  ServerPool pool = Pool({"http://a.test/"});
  EXPECT_FALSE(pool.Rest(0, seconds(60)));
  EXPECT_EQ(pool.Take(0), 0);
  EXPECT_EQ(pool.HostShownFor(0), "") << "a row names its server only when there are several";
}

TEST_F(ServerPoolTest, OnlyTheServersOwnFailuresRestIt) {
  auto fault = [](long status, bool permanent = false) {
    DownloadResult result;
    result.outcome = DownloadOutcome::kServerFailure;
    result.http_status = status;
    result.permanent = permanent;
    return ServerPool::ServerFault(result);
  };
  EXPECT_TRUE(fault(0));    // refused, reset, timed out
  EXPECT_TRUE(fault(503));  // overloaded
  EXPECT_TRUE(fault(429));
  EXPECT_TRUE(fault(0, true));  // a certificate problem
  EXPECT_FALSE(fault(404));     // the file's own: another server may have it, but it counts
  DownloadResult wrong_size;
  wrong_size.outcome = DownloadOutcome::kServerFailure;
  wrong_size.http_status = 200;
  wrong_size.wrong_size = true;
  EXPECT_FALSE(ServerPool::ServerFault(wrong_size));
  DownloadResult local;
  local.outcome = DownloadOutcome::kLocalFailure;
  EXPECT_FALSE(ServerPool::ServerFault(local));
}

}  // namespace
}  // namespace brenvik::test
