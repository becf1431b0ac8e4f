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

// Only a failure of the server itself rests it: a missing file, a body of
// the wrong size or a local fault is the file's, and counts as with one server.
TEST_F(ServerPoolTest, OnlyTheServersOwnFailuresRestIt) {
  struct Case {
    DownloadOutcome outcome;
    long status;
    bool permanent;
    bool wrong_size;
    bool rests;
  };
  for (const Case& c : {Case{DownloadOutcome::kServerFailure, 0, false, false, true},
                        Case{DownloadOutcome::kServerFailure, 503, false, false, true},
                        Case{DownloadOutcome::kServerFailure, 429, false, false, true},
                        Case{DownloadOutcome::kServerFailure, 0, true, false, true},
                        Case{DownloadOutcome::kServerFailure, 404, false, false, false},
                        Case{DownloadOutcome::kServerFailure, 200, false, true, false},
                        Case{DownloadOutcome::kLocalFailure, 0, false, false, false}}) {
    DownloadResult result;
    result.outcome = c.outcome;
    result.http_status = c.status;
    result.permanent = c.permanent;
    result.wrong_size = c.wrong_size;
    EXPECT_EQ(ServerPool::ServerFault(result), c.rests) << c.status;
  }
}

}  // namespace
}  // namespace brenvik::test
