#include "transfer/rate_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/http_server.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"

namespace brenvik {
namespace {

using namespace std::chrono_literals;
using Clock = RateLimit::Clock;

// A clock the test moves by hand.
struct HandClock {
  Clock::time_point now = Clock::time_point(1h);
  auto Reader() {
    return [this] { return now; };
  }
};

std::chrono::milliseconds Ms(Clock::duration wait) {
  return std::chrono::round<std::chrono::milliseconds>(wait);
}

TEST(RateLimitTest, PaymentsBeyondTheAllowanceWaitInTurnAndAPauseIsNoBurst) {
  HandClock clock;
  RateLimit limit;
  limit.UseClock(clock.Reader());
  limit.Set(1000);  // bytes per second
  // Nothing saved up yet: each payment waits out the debt before it, so
  // two payers of 100 bytes take turns.
  EXPECT_EQ(Ms(limit.Charge(100)), 100ms);
  EXPECT_EQ(Ms(limit.Charge(100)), 200ms);
  clock.now += 200ms;  // the debt is paid off
  EXPECT_EQ(Ms(limit.Charge(0)), 0ms);
  // A long pause saves up a tenth of a second's worth, no more.
  clock.now += 10s;
  EXPECT_EQ(Ms(limit.Charge(100)), 0ms);
  EXPECT_EQ(Ms(limit.Charge(100)), 100ms);
}

TEST(RateLimitTest, NoLimitAndAChangedLimitHoldNobodyBack) {
  HandClock clock;
  RateLimit limit;
  limit.UseClock(clock.Reader());
  EXPECT_EQ(limit.Charge(1'000'000), Clock::duration::zero());
  limit.Set(10);
  EXPECT_GT(limit.Charge(1000), 90s);
  // A payer that waits gives up when told to, and a new limit releases it.
  int asked = 0;
  limit.Pay(1000, [&] { return ++asked < 2; });
  EXPECT_EQ(asked, 2);
  limit.Set(0);
  EXPECT_EQ(limit.Charge(1'000'000), Clock::duration::zero());
  EXPECT_EQ(limit.Rate(), 0u);
}

// Every byte of a download's body is paid for under the hub's limit: with
// the test's clock standing still, the debt is exactly the body.
TEST(RateLimitTest, EveryBodyByteOfADownloadIsPaidFor) {
  test::HttpServer server;
  test::TempDir dir;
  const std::string body = test::RandomBytes(200'000, 9);
  server.Serve("a.bin", body);
  ConnectionHub hub(1);
  HandClock clock;
  hub.Limit().UseClock(clock.Reader());
  constexpr uint64_t kRate = uint64_t{1} << 24;  // the waits come to about 12 ms in all
  hub.Limit().Set(kRate);
  DownloadService service(&hub);
  std::atomic<bool> abort{false};
  TransferCallback callback(abort);
  const DownloadResult result =
      service.Download(server.Url() + "a.bin",
                       {.folder = dir.path(), .name = "a.bin", .partial_name = "a.part"}, callback);
  ASSERT_TRUE(result.Ok()) << result.reason;
  const std::chrono::duration<double> debt = hub.Limit().Charge(0);
  EXPECT_NEAR(debt.count() * static_cast<double>(kRate), static_cast<double>(body.size()), 1.0);
}

}  // namespace
}  // namespace brenvik
