#include "transfer/transfer_callback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#include "support/progress_sinks.h"

namespace brenvik {
namespace {

using test::RecordingSink;

class TransferCallbackTest : public ::testing::Test {
 protected:
  std::atomic<bool> abort_{false};
  TransferCallback callback_{abort_};
};

TEST(TransferCallbackPercentage, TruncatesAndNeverPassesFull) {
  EXPECT_EQ(TransferCallback::Percentage(0, 0), 0u);
  EXPECT_EQ(TransferCallback::Percentage(12345, 0), 0u);
  EXPECT_EQ(TransferCallback::Percentage(0, 5), 0u);
  EXPECT_EQ(TransferCallback::Percentage(50, 200), 25u);
  EXPECT_EQ(TransferCallback::Percentage(1, 3), 33u);
  EXPECT_EQ(TransferCallback::Percentage(2, 3), 66u);
  EXPECT_EQ(TransferCallback::Percentage(199, 200), 99u);
  EXPECT_EQ(TransferCallback::Percentage(200, 200), 100u);
  EXPECT_EQ(TransferCallback::Percentage(300, 200), 100u);
  EXPECT_EQ(TransferCallback::Percentage(std::numeric_limits<uint64_t>::max(), 1), 100u);
}

TEST(TransferCallbackPercentage, ExactForCountsBeyondFourGigabytes) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(TransferCallback::Percentage(kMax - 1, kMax), 99u);
  EXPECT_EQ(TransferCallback::Percentage(kMax / 2, kMax), 49u);
  EXPECT_EQ(TransferCallback::Percentage(uint64_t{3} << 32, uint64_t{4} << 32), 75u);
}

TEST_F(TransferCallbackTest, SinkGetsEachPercentageAndIdleHookStaysQuiet) {
  RecordingSink sink;
  int idle_calls = 0;
  callback_.SetIdleHook([&] { ++idle_calls; });
  callback_.Attach(&sink);

  EXPECT_TRUE(callback_.OnProgress(0, 0));
  EXPECT_TRUE(callback_.OnProgress(1, 3));
  EXPECT_TRUE(callback_.OnProgress(50, 200));
  EXPECT_TRUE(callback_.OnProgress(250, 200));

  EXPECT_EQ(sink.shown, (std::vector<uint32_t>{0, 33, 25, 100}));
  EXPECT_EQ(idle_calls, 0);
  EXPECT_EQ(callback_.BytesSoFar(), 250u);
}

TEST_F(TransferCallbackTest, WithoutSinkEveryReportRunsTheIdleHook) {
  int idle_calls = 0;
  // No hook yet: a report simply returns.
  EXPECT_TRUE(callback_.OnProgress(1, 10));
  callback_.SetIdleHook([&] { ++idle_calls; });
  EXPECT_TRUE(callback_.OnProgress(2, 10));
  EXPECT_TRUE(callback_.OnProgress(3, 10));
  EXPECT_EQ(idle_calls, 2);

  RecordingSink sink;
  callback_.Attach(&sink);
  EXPECT_TRUE(callback_.OnProgress(4, 10));
  callback_.Attach(nullptr);
  EXPECT_TRUE(callback_.OnProgress(5, 10));
  EXPECT_EQ(idle_calls, 3);
  EXPECT_EQ(sink.shown, (std::vector<uint32_t>{40}));
}

TEST_F(TransferCallbackTest, AbortRefusesAndTouchesNothing) {
  RecordingSink sink;
  int idle_calls = 0;
  callback_.SetIdleHook([&] { ++idle_calls; });
  EXPECT_TRUE(callback_.OnProgress(10, 100));
  EXPECT_TRUE(callback_.KeepAlive());
  ASSERT_EQ(idle_calls, 2);

  abort_ = true;
  EXPECT_FALSE(callback_.OnProgress(20, 100));
  EXPECT_FALSE(callback_.KeepAlive());
  callback_.Attach(&sink);
  EXPECT_FALSE(callback_.OnProgress(30, 100));
  EXPECT_FALSE(callback_.KeepAlive());

  EXPECT_EQ(callback_.BytesSoFar(), 10u);
  EXPECT_EQ(idle_calls, 2);
  EXPECT_TRUE(sink.shown.empty());
}

// A report with nothing new keeps an idle face alive but shows a sink nothing.
TEST_F(TransferCallbackTest, KeepAliveRunsTheIdleHookOnlyWithoutASink) {
  int idle_calls = 0;
  EXPECT_TRUE(callback_.KeepAlive());  // no hook yet
  callback_.SetIdleHook([&] { ++idle_calls; });
  EXPECT_TRUE(callback_.KeepAlive());
  EXPECT_TRUE(callback_.KeepAlive());
  EXPECT_EQ(idle_calls, 2);

  RecordingSink sink;
  callback_.Attach(&sink);
  EXPECT_TRUE(callback_.KeepAlive());
  EXPECT_EQ(idle_calls, 2);
  EXPECT_TRUE(sink.shown.empty());
  EXPECT_EQ(callback_.BytesSoFar(), 0u);
}

TEST_F(TransferCallbackTest, TransferSpanResetsTheByteCount) {
  EXPECT_FALSE(callback_.TransferRunning());
  EXPECT_TRUE(callback_.OnProgress(700, 1000));
  callback_.TransferStarted();
  EXPECT_TRUE(callback_.TransferRunning());
  EXPECT_EQ(callback_.BytesSoFar(), 0u);
  EXPECT_TRUE(callback_.OnProgress(400, 1000));
  callback_.TransferEnded();
  EXPECT_FALSE(callback_.TransferRunning());
  EXPECT_EQ(callback_.BytesSoFar(), 400u);
}

}  // namespace
}  // namespace brenvik
