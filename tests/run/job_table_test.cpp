#include "run/job_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <thread>
#include <vector>

namespace brenvik {
namespace {

TEST(JobTableTest, RowsStartIdleAndOutOfRangeAccessIsHarmless) {
  JobTable table;
  EXPECT_EQ(table.InsertRow("a"), 0);
  EXPECT_EQ(table.InsertRow("b"), 1);
  EXPECT_EQ(table.RowCount(), 2);
  EXPECT_EQ(table.Row(1).image, RowImage::kIdle);
  EXPECT_EQ(table.Row(1).status.phase, RowPhase::kNone);
  EXPECT_EQ(table.Row(1).state, JobState::PendingDownload);
  table.SetStatus(7, {RowPhase::kChecksumOk});
  table.SetState(-1, JobState::Verified);
  EXPECT_EQ(table.Row(7).name, "");
  EXPECT_EQ(table.RowCount(), 2);
}

// The image comes with the status; the statuses that bring none leave the
// row's image as it was, so a failed check still shows what it was doing.
TEST(JobTableTest, StatusesBringTheirImagesAndTheOthersKeepTheOneThere) {
  JobTable table;
  table.InsertRow("x");
  const auto image_after = [&](RowStatus status) {
    table.SetStatus(0, std::move(status));
    return table.Row(0).image;
  };
  EXPECT_EQ(image_after({RowPhase::kPending}), RowImage::kIdle);
  EXPECT_EQ(image_after(RowStatus::Downloading(5)), RowImage::kBusy);
  EXPECT_EQ(image_after({RowPhase::kDownloaded}), RowImage::kBusy);
  EXPECT_EQ(image_after(RowStatus::Checksumming(5)), RowImage::kChecking);
  EXPECT_EQ(image_after({RowPhase::kChecksumFailed}), RowImage::kChecking);
  EXPECT_EQ(image_after(RowStatus::AttemptFailed(1, 11, "why")), RowImage::kChecking);
  EXPECT_EQ(image_after(RowStatus::LocalFailure("why")), RowImage::kChecking);
  EXPECT_EQ(image_after({RowPhase::kChecksumOk}), RowImage::kDone);
  EXPECT_EQ(image_after({RowPhase::kInstallerStarting}), RowImage::kBusy);
  EXPECT_EQ(image_after({RowPhase::kInstallPending}), RowImage::kBusy);
  EXPECT_EQ(image_after({RowPhase::kInstallerFailed}), RowImage::kIdle);
  EXPECT_EQ(image_after({RowPhase::kInstallerStarted}), RowImage::kDone);
}

TEST(JobTableTest, StatusLineKeepsItsKindBesideItsText) {
  JobTable table;
  EXPECT_EQ(table.StatusLineWithKind().kind, StatusLineKind::kNone);
  table.SetStatistics({.done_bytes = 1024, .total_bytes = 2048, .rate_kb = 7});
  EXPECT_EQ(table.StatusLineWithKind().kind, StatusLineKind::kStatistics);
  EXPECT_EQ(table.StatusLineWithKind().statistics.rate_kb, 7u);
  EXPECT_EQ(table.StatusLine(), "1 kB of 2 kB done, 7 kB/s, EDT: ");
  table.SetStatusLine("All Done.");
  const StatusLineValue line = table.StatusLineWithKind();
  EXPECT_EQ(line.text, "All Done.");
  EXPECT_EQ(line.kind, StatusLineKind::kMessage);
  EXPECT_EQ(table.StatusLine(), "All Done.");
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

TEST(JobTableTest, DownloadsAreTakenTopmostFirstAndNeverTwice) {
  JobTable table;
  for (int i = 0; i < 4; ++i) table.InsertRow("f" + std::to_string(i));
  table.SetState(0, JobState::Verified);
  EXPECT_EQ(table.CurrentDownloadRow(), -1);
  EXPECT_EQ(table.TakeDownload(), 1);
  EXPECT_EQ(table.TakeDownload(), 2);
  EXPECT_EQ(table.TakeDownload(), 3);
  EXPECT_EQ(table.TakeDownload(), -1);  // every pending row is held
  EXPECT_EQ(table.CurrentDownloadRow(), 1);

  // A row handed on for checking that fails its check while still held
  // comes back to the workers only once it is released.
  table.SetState(1, JobState::PendingCheck);
  table.SetState(1, JobState::PendingDownload);
  EXPECT_EQ(table.TakeDownload(), -1);
  const uint64_t seen = table.StateRevision();
  table.ReleaseDownload(1);
  EXPECT_NE(table.StateRevision(), seen);  // a waiting worker wakes
  EXPECT_EQ(table.CurrentDownloadRow(), 2);
  EXPECT_EQ(table.TakeDownload(), 1);

  table.ReleaseDownload(1);
  table.ReleaseDownload(2);
  table.ReleaseDownload(3);
  table.ReleaseDownload(-1);  // nothing held: no effect
  EXPECT_EQ(table.CurrentDownloadRow(), -1);
}

TEST(JobTableTest, RevisionGrowsWithEveryChangeAndTheListenerHearsIt) {
  JobTable table;
  std::vector<int> heard;
  table.SetChangeListener([&](int row) { heard.push_back(row); });
  const uint64_t before = table.Revision();
  table.InsertRow("x");
  table.InsertRow("y");
  table.SetStatus(1, {RowPhase::kDownloaded});
  table.SetStatus(0, RowStatus::Downloading(3));
  table.SetStatusLine("line");
  EXPECT_EQ(table.TakeDownload(), 0);  // views see it; the listener is not told
  table.Clear();
  EXPECT_EQ(table.Revision(), before + 7);
  EXPECT_EQ(heard, (std::vector<int>{0, 1, 1, 0, JobTable::kStatusLineRow, JobTable::kWholeTable}));
}

// A wait that is not woken sits out its whole timeout and then reports
// kTimedOut, so a broken wake-up fails these tests instead of only slowing
// them. The short pause before each wake-up lets the waiter block first
// (were it not blocked yet, the wait would see the change without any
// wake-up); several rounds make that all but certain.
constexpr auto kUnwokenWait = std::chrono::seconds(30);
constexpr int kRounds = 5;

// Waits for `work` on another thread while `write` runs on this one.
JobTable::WaitEnd WaitAcross(JobTable& table, JobState work, std::chrono::milliseconds timeout,
                             const std::function<void()>& write) {
  const uint64_t seen = table.StateRevision();
  JobTable::WaitEnd end = JobTable::WaitEnd::kTimedOut;
  std::jthread waiter(
      [&](std::stop_token stop) { end = table.WaitForWork(work, seen, timeout, stop); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  write();
  waiter.join();
  return end;
}

TEST(JobTableTest, AWriteThatGivesWorkWakesItsWaiterAtOnce) {
  JobTable table;
  table.InsertRow("x");
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(WaitAcross(table, JobState::PendingCheck, kUnwokenWait,
                         [&] { table.SetState(0, JobState::PendingCheck); }),
              JobTable::WaitEnd::kChanged);
    EXPECT_EQ(WaitAcross(table, JobState::PendingDownload, kUnwokenWait,
                         [&] { table.SetState(0, JobState::PendingDownload); }),
              JobTable::WaitEnd::kChanged);
    // A row a download worker hands back may be taken by another.
    ASSERT_EQ(table.TakeDownload(), 0);
    EXPECT_EQ(WaitAcross(table, JobState::PendingDownload, kUnwokenWait,
                         [&] { table.ReleaseDownload(0); }),
              JobTable::WaitEnd::kChanged);
  }
}

TEST(JobTableTest, CallingIdleDownloadWorkersEndsTheWaitOfEveryOne) {
  JobTable table;
  table.InsertRow("x");
  // One row wakes one worker; a large file opened for parts calls them all.
  constexpr int kWaiters = 3;
  std::array<JobTable::WaitEnd, kWaiters> ends{};
  const uint64_t seen = table.StateRevision();
  {
    std::vector<std::jthread> waiters;
    for (JobTable::WaitEnd& end : ends) {
      waiters.emplace_back([&](std::stop_token stop) {
        end = table.WaitForWork(JobState::PendingDownload, seen, kUnwokenWait, stop);
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    table.CallIdleDownloadWorkers();
  }
  for (JobTable::WaitEnd end : ends) EXPECT_EQ(end, JobTable::WaitEnd::kChanged);
}

TEST(JobTableTest, AWriteThatGivesNoWorkWakesNobody) {
  JobTable table;
  table.InsertRow("x");
  // A finished check gives neither kind of worker anything to do.
  constexpr auto kShortWait = std::chrono::milliseconds(300);
  EXPECT_EQ(WaitAcross(table, JobState::PendingDownload, kShortWait,
                       [&] { table.SetState(0, JobState::Verified); }),
            JobTable::WaitEnd::kTimedOut);
  EXPECT_EQ(WaitAcross(table, JobState::PendingCheck, kShortWait,
                       [&] { table.SetState(0, JobState::PendingDownload); }),
            JobTable::WaitEnd::kTimedOut);
}

TEST(JobTableTest, StopRequestEndsAWait) {
  JobTable table;
  for (int round = 0; round < kRounds; ++round) {
    JobTable::WaitEnd end = JobTable::WaitEnd::kTimedOut;
    std::jthread waiter([&](std::stop_token stop) {
      end = table.WaitForWork(JobState::PendingCheck, table.StateRevision(), kUnwokenWait, stop);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // What the engine does to stop its workers.
    waiter.request_stop();
    table.WakeWaiters();
    waiter.join();
    EXPECT_EQ(end, JobTable::WaitEnd::kStopped) << "round " << round;
  }
}

TEST(JobTableTest, WaitWithoutChangeTimesOut) {
  JobTable table;
  std::stop_source never;
  EXPECT_EQ(table.WaitForWork(JobState::PendingDownload, table.StateRevision(),
                              std::chrono::milliseconds(1), never.get_token()),
            JobTable::WaitEnd::kTimedOut);
}

TEST(JobTableTest, ConcurrentWritersKeepEveryRowConsistent) {
  JobTable table;
  for (int i = 0; i < 64; ++i) table.InsertRow("r" + std::to_string(i));
  auto writer = [&](JobState state, RowStatus status) {
    for (int round = 0; round < 200; ++round) {
      for (int i = 0; i < 64; ++i) {
        table.SetState(i, state);
        table.SetStatus(i, status);
      }
    }
  };
  std::thread a(writer, JobState::PendingCheck, RowStatus::Checksumming(1));
  std::thread b(writer, JobState::PendingDownload, RowStatus::Downloading(2));
  a.join();
  b.join();
  // Status and image are written in one step: never one writer's status
  // with the other's image.
  for (const JobRow& row : table.Snapshot()) {
    EXPECT_EQ(row.image,
              row.status.phase == RowPhase::kChecksumming ? RowImage::kChecking : RowImage::kBusy);
  }
}

// The indexes the table keeps beside its rows (the rows of each state,
// those free to download, those held, the bytes in each state) must say
// what a scan of the rows says, after any mix of writes, takes and releases.
TEST(JobTableTest, IndexesAgreeWithAScanOfTheRowsAfterRandomWork) {
  constexpr int kRows = 40;
  JobTable table;
  std::vector<uint64_t> sizes;
  for (int i = 0; i < kRows; ++i) sizes.push_back(1000 + static_cast<uint64_t>(i));
  for (int i = 0; i < kRows / 2; ++i) table.InsertRow("r" + std::to_string(i));
  table.SetRowSizes(sizes);  // before some rows and after others
  for (int i = kRows / 2; i < kRows; ++i) table.InsertRow("r" + std::to_string(i));
  std::vector<bool> held(kRows, false);
  std::mt19937 random(7);
  const JobState states[] = {JobState::PendingDownload, JobState::PendingCheck, JobState::CheckDone,
                             JobState::Verified, JobState::InstallerRow};
  for (int step = 0; step < 5000; ++step) {
    const int row = static_cast<int>(random() % kRows);
    switch (random() % 4) {
      case 0:
      case 1:
        table.SetState(row, states[random() % 5]);
        break;
      case 2:
        if (const int taken = table.TakeDownload(); taken >= 0)
          held[static_cast<size_t>(taken)] = true;
        break;
      default:
        table.ReleaseDownload(row);
        held[static_cast<size_t>(row)] = false;
    }
    const std::vector<JobState> now = table.States();
    int first_free = -1, first_check = -1, first_unfinished = -1, first_held = -1;
    StateBytes bytes;
    for (int i = kRows - 1; i >= 0; --i) {
      const JobState state = now[static_cast<size_t>(i)];
      if (state == JobState::PendingDownload && !held[static_cast<size_t>(i)]) first_free = i;
      if (state == JobState::PendingCheck) first_check = i;
      if (state < JobState::Verified) first_unfinished = i;
      if (held[static_cast<size_t>(i)]) first_held = i;
      const uint64_t size = sizes[static_cast<size_t>(i)];
      if (state == JobState::Verified) bytes.verified += size;
      if (state == JobState::PendingDownload) bytes.to_download += size;
      if (state == JobState::PendingCheck || state == JobState::CheckDone) bytes.to_check += size;
    }
    ASSERT_EQ(table.FirstInState(JobState::PendingCheck), first_check) << "step " << step;
    ASSERT_EQ(table.FirstUnfinished(), first_unfinished) << "step " << step;
    ASSERT_EQ(table.CurrentDownloadRow(), first_held) << "step " << step;
    const StateBytes kept = table.BytesByState();
    ASSERT_EQ(kept.verified, bytes.verified) << "step " << step;
    ASSERT_EQ(kept.to_download, bytes.to_download) << "step " << step;
    ASSERT_EQ(kept.to_check, bytes.to_check) << "step " << step;
    if (step % 50 == 0 && first_free >= 0) {
      // The next take is the topmost free row; put it back as it was.
      ASSERT_EQ(table.TakeDownload(), first_free) << "step " << step;
      table.ReleaseDownload(first_free);
    }
  }
}

// A view reads only what changed since it last looked; rows inserted or
// cleared send it back to the whole table.
TEST(JobTableTest, ChangesSinceGivesTheRowsChangedSinceARevision) {
  JobTable table;
  for (int i = 0; i < 5; ++i) table.InsertRow("f" + std::to_string(i));
  const RowChanges first = table.ChangesSince(0);
  EXPECT_TRUE(first.whole_table);
  EXPECT_EQ(first.revision, table.Revision());

  table.SetStatus(3, RowStatus::Downloading(40));
  table.SetState(1, JobState::Verified);
  table.SetStatus(3, RowStatus::Downloading(41));  // one entry however often a row changes
  EXPECT_EQ(table.TakeDownload(), 0);              // no row changed
  RowChanges changes = table.ChangesSince(first.revision);
  EXPECT_FALSE(changes.whole_table);
  ASSERT_EQ(changes.rows.size(), 2u);
  EXPECT_EQ(changes.rows[0].first, 1);
  EXPECT_EQ(changes.rows[0].second.state, JobState::Verified);
  EXPECT_EQ(changes.rows[1].first, 3);
  EXPECT_EQ(changes.rows[1].second.status, RowStatus::Downloading(41));

  EXPECT_TRUE(table.ChangesSince(changes.revision).rows.empty());
  table.SetStatusLine("All Done.");  // not a row
  EXPECT_TRUE(table.ChangesSince(changes.revision).rows.empty());
  const uint64_t before_insert = table.Revision();
  table.InsertRow("late");
  EXPECT_TRUE(table.ChangesSince(before_insert).whole_table);
  const uint64_t before_clear = table.Revision();
  table.Clear();
  EXPECT_TRUE(table.ChangesSince(before_clear).whole_table);
}

// Many changes to few rows: what a view reads stays exact however long it
// last looked ago, while the table keeps only what such reads still need.
TEST(JobTableTest, ChangesSinceStaysExactOverManyChangesOfFewRows) {
  JobTable table;
  constexpr int kRows = 7;
  for (int i = 0; i < kRows; ++i) table.InsertRow("f" + std::to_string(i));
  std::vector<uint64_t> marks;
  std::vector<std::vector<int>> changed_after;  // per mark, the last change of each row after it
  std::vector<int> last_change(kRows, -1);
  for (int step = 0; step < 6000; ++step) {
    if (step % 500 == 0) {
      marks.push_back(table.Revision());
      changed_after.emplace_back();
    }
    const int row = (step * 5 + step / 13) % kRows;
    // Row 6 stops changing early: an old entry of it must still be found.
    if (row == 6 && step > 100) continue;
    table.SetStatus(row, RowStatus::Downloading(static_cast<uint32_t>(step % 100)));
    last_change[static_cast<size_t>(row)] = step;
    for (size_t m = 0; m < marks.size(); ++m) {
      std::vector<int>& rows = changed_after[m];
      if (std::find(rows.begin(), rows.end(), row) == rows.end()) rows.push_back(row);
    }
  }
  for (size_t m = 0; m < marks.size(); ++m) {
    const RowChanges changes = table.ChangesSince(marks[m]);
    std::vector<int> expected = changed_after[m];
    std::sort(expected.begin(), expected.end());
    std::vector<int> got;
    for (const auto& [row, value] : changes.rows) {
      got.push_back(row);
      const int step = last_change[static_cast<size_t>(row)];
      EXPECT_EQ(value.status, RowStatus::Downloading(static_cast<uint32_t>(step % 100))) << row;
    }
    EXPECT_EQ(got, expected) << "mark " << m;
  }
}

}  // namespace
}  // namespace brenvik
