#include "pages/run/job_table.h"

#include <gtest/gtest.h>

#include <thread>

namespace brenvik {
namespace {

TEST(JobTableTest, RowsStartIdleAndOutOfRangeAccessIsHarmless) {
  JobTable table;
  EXPECT_EQ(table.InsertRow("a"), 0);
  EXPECT_EQ(table.InsertRow("b"), 1);
  EXPECT_EQ(table.RowCount(), 2);
  EXPECT_EQ(table.Image(1), RowImage::kIdle);
  EXPECT_EQ(table.State(1), JobState::PendingDownload);
  table.SetStatus(7, "nowhere");
  table.SetState(-1, JobState::Verified);
  EXPECT_EQ(table.Name(7), "");
  EXPECT_EQ(table.RowCount(), 2);
}

TEST(JobTableTest, FirstInStateFindsTheTopmostRow) {
  JobTable table;
  for (int i = 0; i < 4; ++i) table.InsertRow("f" + std::to_string(i));
  for (int i = 0; i < 4; ++i) table.SetState(i, JobState::PendingCheck);
  table.SetState(2, JobState::PendingDownload);
  table.SetState(0, JobState::Verified);
  EXPECT_EQ(table.FirstInState(JobState::PendingCheck), 1);
  EXPECT_EQ(table.FirstInState(JobState::PendingDownload), 2);
  EXPECT_EQ(table.FirstInState(JobState::CheckDone), -1);
}

TEST(JobTableTest, RevisionGrowsWithEveryChangeAndTheListenerHearsIt) {
  JobTable table;
  std::vector<int> heard;
  table.SetChangeListener([&](int row) { heard.push_back(row); });
  const uint64_t before = table.Revision();
  table.InsertRow("x");
  table.InsertRow("y");
  table.SetStatus(1, "t");
  table.SetImage(0, RowImage::kBusy);
  table.SetStatusLine("line");
  table.SetCurrentDownloadRow(1);  // views see it; the listener is not told
  table.Clear();
  EXPECT_EQ(table.Revision(), before + 7);
  EXPECT_EQ(heard, (std::vector<int>{0, 1, 1, 0, JobTable::kStatusLineRow, JobTable::kWholeTable}));
}

TEST(JobTableTest, StateWriteWakesAWaiterAtOnce) {
  JobTable table;
  table.InsertRow("x");
  const uint64_t seen = table.StateRevision();
  std::atomic<bool> woke{false};
  std::jthread waiter([&](std::stop_token stop) {
    // Without the wake-up this would sit out the whole minute.
    table.WaitForChange(seen, std::chrono::minutes(1), stop);
    woke = true;
  });
  table.SetState(0, JobState::PendingCheck);
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(JobTableTest, StopRequestEndsAWait) {
  JobTable table;
  std::jthread waiter([&](std::stop_token stop) {
    table.WaitForChange(table.StateRevision(), std::chrono::minutes(1), stop);
  });
  waiter.request_stop();
  waiter.join();
  SUCCEED();
}

TEST(JobTableTest, ConcurrentWritersKeepEveryRowConsistent) {
  JobTable table;
  for (int i = 0; i < 64; ++i) table.InsertRow("r" + std::to_string(i));
  auto writer = [&](JobState state, RowImage image) {
    for (int round = 0; round < 200; ++round) {
      for (int i = 0; i < 64; ++i) {
        table.SetState(i, state);
        table.SetStatusAndImage(i, std::to_string(static_cast<int>(image)), image);
      }
    }
  };
  std::thread a(writer, JobState::PendingCheck, RowImage::kChecking);
  std::thread b(writer, JobState::PendingDownload, RowImage::kBusy);
  a.join();
  b.join();
  for (const JobRow& row : table.Snapshot()) {
    EXPECT_EQ(row.status, std::to_string(static_cast<int>(row.image)));
  }
}

}  // namespace
}  // namespace brenvik
