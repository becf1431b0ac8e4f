#include "run/statistics.h"

#include <gtest/gtest.h>

#include <thread>

#include "catalogue/catalogue.h"
#include "run/job_table.h"

namespace brenvik {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * 1024;

class StatisticsTest : public ::testing::Test {
 protected:
  StatisticsTest() { stats_.WatchTransfers({&callback_, &second_}); }

  // A catalogue of the given sizes and a job table with one row per file,
  // all waiting for their first check, as at the start of a run.
  void Load(const std::vector<uint64_t>& sizes, bool installer_row = false) {
    std::vector<CatalogueEntry> entries;
    for (size_t i = 0; i < sizes.size(); ++i) {
      entries.push_back({"file" + std::to_string(i), "0123456789abcdef0123456789abcdef", sizes[i]});
    }
    catalogue_ = Catalogue("1.0", 0, std::move(entries));
    for (int i = 0; i < catalogue_.RowCount(); ++i) {
      table_.InsertRow(catalogue_.Entry(i).name);
      table_.SetState(i, JobState::PendingCheck);
    }
    if (installer_row) {
      const int row = table_.InsertRow(kInstallerRowName);
      table_.SetState(row, JobState::InstallerRow);
    }
    stats_.SetRunStart(now_);
  }

  // `bytes` arrive on `transfer` over `span`, in reports of a tenth of a
  // second; the statistics after each report are collected.
  std::vector<StatisticsValues> Arrive(TransferCallback& transfer, uint64_t bytes,
                                       milliseconds span) {
    std::vector<StatisticsValues> lines;
    const int steps = static_cast<int>(span / milliseconds(100));
    for (int i = 0; i < steps; ++i) {
      now_ += milliseconds(100);
      const uint64_t piece = bytes / static_cast<uint64_t>(steps) +
                             (i + 1 == steps ? bytes % static_cast<uint64_t>(steps) : 0);
      transfer.CountReceived(piece);
      EXPECT_TRUE(transfer.OnProgress(transfer.BytesSoFar() + piece, 0));
      lines.push_back(stats_.UpdateStatistics(now_));
    }
    return lines;
  }

  // The line of the statistics for now, as the status bar shows it.
  std::string Line() { return StatisticsLine(stats_.UpdateStatistics(now_)); }

  std::atomic<bool> abort_{false};
  Catalogue catalogue_;
  JobTable table_;
  TransferCallback callback_{abort_};
  TransferCallback second_{abort_};  // another download worker's
  milliseconds now_{1'000'000};
  ProgressStatistics stats_{table_, catalogue_, [this] { return now_; }};
};

TEST_F(StatisticsTest, SteadyArrivalGivesTheSmoothedRateSeries) {
  Load({1ull << 30});
  table_.SetState(0, JobState::PendingDownload);
  callback_.TransferStarted();
  std::vector<uint32_t> rates;
  for (int second = 0; second < 40; ++second) {
    Arrive(callback_, 100 * kKiB, seconds(1));
    rates.push_back(stats_.SmoothedRate());
  }
  // One sample a second, each a quarter of the new value and three
  // quarters of the old.
  const std::vector<uint32_t> first{25, 43, 57, 67, 75, 81, 85, 88};
  EXPECT_EQ(std::vector<uint32_t>(rates.begin(), rates.begin() + 8), first);
  EXPECT_EQ(rates.back(), 97u);
}

TEST_F(StatisticsTest, LineFormatAndAnEstimateOfTheDownloadLeft) {
  Load({300000 * kKiB, 300000 * kKiB});
  table_.SetState(0, JobState::Verified);
  table_.SetState(1, JobState::PendingDownload);
  callback_.TransferStarted();
  Arrive(callback_, 100 * kKiB, seconds(1));
  // 300100 kB left at 25 kB/s.
  const StatisticsValues values = stats_.UpdateStatistics(now_);
  EXPECT_EQ(values, (StatisticsValues{.done_bytes = 300100 * kKiB,
                                      .total_bytes = 600000 * kKiB,
                                      .rate_kb = 25,
                                      .estimate_seconds = 3 * 3600 + 19 * 60 + 56}));
  EXPECT_EQ(StatisticsLine(values), "300100 kB of 600000 kB done, 25 kB/s, EDT: 03:19:56");
  EXPECT_EQ(table_.StatusLine(), "300100 kB of 600000 kB done, 25 kB/s, EDT: 03:19:56");
  EXPECT_EQ(FormatEstimate(13 * 3600 + 61), "13:01:01");

  // A speed limit is named after the rate while it is set.
  RateLimit limit;
  limit.Set(512 * kKiB);
  stats_.ShowLimitOf(&limit);
  EXPECT_EQ(StatisticsLine(stats_.UpdateStatistics(now_)),
            "300100 kB of 600000 kB done, 25 kB/s (limit 512 kB/s), EDT: 03:19:56");
  limit.Set(0);
  EXPECT_EQ(StatisticsLine(stats_.UpdateStatistics(now_)),
            "300100 kB of 600000 kB done, 25 kB/s, EDT: 03:19:56");
  EXPECT_EQ(FormatEstimate(250 * 3600), "250:00:00");
}

// A continued run: most files were already in the folder. Only what
// arrives counts for the rate, and the estimate is the rest at that rate.
TEST_F(StatisticsTest, ContinuedRunShowsTheRateOfWhatArrivesNotOfWhatWasThere) {
  Load({600 * kMiB, 50 * kMiB});
  stats_.CountCheck(600 * kMiB, seconds(1));  // the first file checked and verified
  table_.SetState(0, JobState::Verified);
  table_.SetState(1, JobState::PendingDownload);
  callback_.TransferStarted();
  std::vector<StatisticsValues> lines;
  for (int second = 0; second < 30; ++second) {
    for (const StatisticsValues& line : Arrive(callback_, kMiB, seconds(1))) lines.push_back(line);
  }
  for (const StatisticsValues& line : lines) ASSERT_LE(line.rate_kb, 1024u) << StatisticsLine(line);
  // After 30 s at 1 MiB/s the smoothed rate is within a few kB/s of it,
  // and 20 MiB are left: about 20 s.
  EXPECT_GE(lines.back().rate_kb, 1020u);
  EXPECT_EQ(lines.back().estimate_seconds, 21u);
  EXPECT_EQ(lines.back().done_bytes, 645120 * kKiB);
  EXPECT_EQ(lines.back().total_bytes, 665600 * kKiB);
}

TEST_F(StatisticsTest, StallBringsTheRateToZeroAndTakesTheEstimateAwayUntilBytesCome) {
  Load({100 * kMiB});
  table_.SetState(0, JobState::PendingDownload);
  callback_.TransferStarted();
  for (int second = 0; second < 10; ++second) Arrive(callback_, 512 * kKiB, seconds(1));
  ASSERT_TRUE(stats_.UpdateStatistics(now_).estimate_seconds);
  // Nothing arrives; the face's ticks keep updating the line.
  std::vector<uint32_t> rates;
  for (int tick = 0; tick < 120; ++tick) {
    now_ += milliseconds(500);
    const StatisticsValues line = stats_.UpdateStatistics(now_);
    rates.push_back(line.rate_kb);
    if (rates.back() == 0) {
      EXPECT_FALSE(line.estimate_seconds) << StatisticsLine(line);
      EXPECT_TRUE(StatisticsLine(line).ends_with("EDT: ")) << StatisticsLine(line);
      break;
    }
  }
  ASSERT_EQ(rates.back(), 0u);
  EXPECT_TRUE(std::is_sorted(rates.rbegin(), rates.rend()));
  EXPECT_LT(rates[6], 512u / 2);  // halved within four seconds
  // Bytes come again: so do the rate and the estimate.
  const std::vector<StatisticsValues> lines = Arrive(callback_, 256 * kKiB, seconds(2));
  EXPECT_GT(lines.back().rate_kb, 0u);
  EXPECT_TRUE(lines.back().estimate_seconds);
}

TEST_F(StatisticsTest, SeveralDownloadsAddUpInDoneAndInTheRate) {
  Load({10 * kMiB, 10 * kMiB, 10 * kMiB});
  table_.SetState(0, JobState::PendingDownload);
  table_.SetState(1, JobState::PendingDownload);
  table_.SetState(2, JobState::Verified);
  callback_.TransferStarted();
  second_.TransferStarted();
  // 100 kB/s on one, 300 kB/s on the other, for 30 s.
  for (int step = 0; step < 300; ++step) {
    now_ += milliseconds(100);
    callback_.CountReceived(10 * kKiB);
    second_.CountReceived(30 * kKiB);
    ASSERT_TRUE(callback_.OnProgress(callback_.BytesSoFar() + 10 * kKiB, 10 * kMiB));
    ASSERT_TRUE(second_.OnProgress(second_.BytesSoFar() + 30 * kKiB, 10 * kMiB));
    stats_.UpdateStatistics(now_);
  }
  const StatisticsValues line = stats_.UpdateStatistics(now_);
  EXPECT_EQ(line.done_bytes, 22240 * kKiB);
  EXPECT_EQ(line.total_bytes, 30720 * kKiB);
  EXPECT_GE(line.rate_kb, 395u);
  EXPECT_LE(line.rate_kb, 400u);

  // A finished download waits for its check: "done" holds what it showed
  // until the file is verified, and a new transfer on that worker starts
  // from nothing.
  callback_.TransferEnded();
  table_.SetState(0, JobState::PendingCheck);
  EXPECT_EQ(stats_.UpdateStatistics(now_).done_bytes, 22240 * kKiB);
  table_.SetState(0, JobState::CheckDone);
  EXPECT_EQ(stats_.UpdateStatistics(now_).done_bytes, 22240 * kKiB);
  table_.SetState(0, JobState::Verified);
  callback_.TransferStarted();
  EXPECT_EQ(stats_.UpdateStatistics(now_).done_bytes, 29480 * kKiB);
}

// The start of a large continued run: nothing to download yet, every file
// to be checked. The estimate is the check time left, once a check has
// told how fast checking goes.
TEST_F(StatisticsTest, CheckOnlyPhaseEstimatesTheCheckTimeLeft) {
  Load({400 * kMiB, 400 * kMiB, 400 * kMiB});
  now_ += seconds(1);
  EXPECT_EQ(Line(), "0 kB of 1228800 kB done, 0 kB/s, EDT: ");
  stats_.CountCheck(400 * kMiB, seconds(2));
  table_.SetState(0, JobState::Verified);
  now_ += seconds(1);
  EXPECT_EQ(Line(), "409600 kB of 1228800 kB done, 0 kB/s, EDT: 00:00:04");
  // A missing file turns up: it must be downloaded, and until bytes arrive
  // there is no rate to tell how long that takes.
  table_.SetState(1, JobState::PendingDownload);
  EXPECT_FALSE(stats_.UpdateStatistics(now_).estimate_seconds);
  // Checks too quick for the clock add no time, yet the estimate never
  // reads as nothing while work is left.
  table_.SetState(1, JobState::Verified);
  ProgressStatistics quick(table_, catalogue_, [this] { return now_; });
  quick.CountCheck(kMiB, milliseconds(0));
  EXPECT_EQ(quick.UpdateStatistics(now_).estimate_seconds, 1u);
}

TEST_F(StatisticsTest, NothingLeftReadsZeroAndDoneNeverPassesTheTotal) {
  Load({2048, 1024}, /*installer_row=*/true);
  table_.SetState(0, JobState::Verified);
  table_.SetState(1, JobState::PendingDownload);
  table_.SetState(2, JobState::Verified);  // the installer row never counts
  callback_.TransferStarted();
  ASSERT_TRUE(callback_.OnProgress(1 << 30, 0));  // a server that sent far too much
  EXPECT_EQ(Line(), "3 kB of 3 kB done, 0 kB/s, EDT: 00:00:00");
}

TEST_F(StatisticsTest, VerifiedFileNamedLikeTheInstallerRowDoesNotCount) {
  catalogue_ = Catalogue("v", 0, {{"START INSTALL.EXE", "0123456789abcdef0123456789abcdef", 2048}});
  table_.InsertRow("START INSTALL.EXE");
  table_.SetState(0, JobState::Verified);
  EXPECT_EQ(ProgressStatistics::VerifiedBytes(table_, catalogue_), 0u);
  EXPECT_EQ(stats_.CurrentWork().verified, 0u);
}

TEST_F(StatisticsTest, ThreadsUpdatingAtOnceTakeOneSampleASecond) {
  Load({1ull << 30});
  table_.SetState(0, JobState::PendingDownload);
  callback_.TransferStarted();
  callback_.CountReceived(200 * kKiB);
  now_ += seconds(1);
  auto hammer = [this] {
    for (int i = 0; i < 2000; ++i) stats_.UpdateStatistics(now_);
  };
  std::thread a(hammer), b(hammer);
  a.join();
  b.join();
  // However many updates, the second held one sample: a quarter of 200.
  EXPECT_EQ(stats_.SmoothedRate(), 50u);
}

}  // namespace
}  // namespace brenvik
