#include "run/statistics.h"

#include <gtest/gtest.h>

#include <thread>

#include "catalogue/catalogue.h"
#include "run/job_table.h"

namespace brenvik {
namespace {

class StatisticsTest : public ::testing::Test {
 protected:
  // A catalogue of the given sizes and a job table with one row per file.
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
  }

  std::atomic<bool> abort_{false};
  Catalogue catalogue_;
  JobTable table_;
  TransferCallback callback_{abort_};
  TransferCallback second_{abort_};  // another download worker's
  std::time_t now_ = 1000;
  ProgressStatistics stats_{table_, catalogue_, [this] { return now_; }};

 public:
  StatisticsTest() { stats_.WatchTransfers({&callback_, &second_}); }
};

TEST_F(StatisticsTest, SteadySampleGivesTheSmoothedRateSeries) {
  // 100 kB per second of elapsed time, every time.
  Load({100 * 1024 * 1000});
  stats_.SetRunStart(now_ - 1);
  callback_.TransferStarted();
  ASSERT_TRUE(callback_.OnProgress(100 * 1024, 0));
  std::vector<uint32_t> rates;
  for (int i = 0; i < 40; ++i) {
    stats_.UpdateStatistics(now_);
    rates.push_back(stats_.SmoothedRate());
  }
  const std::vector<uint32_t> first{25, 43, 57, 67, 75, 81, 85, 88};
  EXPECT_EQ(std::vector<uint32_t>(rates.begin(), rates.begin() + 8), first);
  EXPECT_EQ(rates.back(), 97u);
  EXPECT_EQ(rates[rates.size() - 2], 97u);
}

TEST_F(StatisticsTest, EstimateAndLineFormat) {
  // 600000 kB in all, 300000 kB verified, 3000 s elapsed: a sample of 100 kB/s.
  Load({300000ull * 1024, 300000ull * 1024});
  table_.SetState(0, JobState::Verified);
  stats_.SetRunStart(now_ - 3000);

  // The first sample of 100 kB/s gives a quarter of it.
  EXPECT_EQ(stats_.UpdateStatistics(now_), "300000 kB of 600000 kB done, 25 kB/s, EDT: 03:20:00");
  EXPECT_EQ(table_.StatusLine(), "300000 kB of 600000 kB done, 25 kB/s, EDT: 03:20:00");

  // A smoothed rate of 96 and a sample of 100 give 97 kB/s, where it stays.
  while (stats_.SmoothedRate() < 96) stats_.UpdateStatistics(now_);
  EXPECT_EQ(stats_.UpdateStatistics(now_), "300000 kB of 600000 kB done, 97 kB/s, EDT: 00:51:32");
}

TEST_F(StatisticsTest, FirstSecondShowsNoRateAndKeepsTheSmoothedRate) {
  Load({4096});
  // A first update a second into the run gives the rate a value: 4 kB
  // verified in 1 s, a quarter of which is 1 kB/s.
  table_.SetState(0, JobState::Verified);
  stats_.SetRunStart(now_ - 1);
  stats_.UpdateStatistics(now_);
  ASSERT_EQ(stats_.SmoothedRate(), 1u);
  // With no time elapsed there is no sample: no rate shown, the rate kept.
  stats_.SetRunStart(now_);
  EXPECT_EQ(stats_.UpdateStatistics(now_), "4 kB of 4 kB done, 0 kB/s, EDT: ");
  EXPECT_EQ(stats_.SmoothedRate(), 1u);
}

TEST_F(StatisticsTest, SlowStartStoresZeroAndShowsNoEstimate) {
  Load({1024 * 1024});
  stats_.SetRunStart(now_ - 10);
  EXPECT_EQ(stats_.UpdateStatistics(now_), "0 kB of 1024 kB done, 0 kB/s, EDT: ");
  EXPECT_EQ(stats_.SmoothedRate(), 0u);
}

TEST_F(StatisticsTest, HoursAreNotReducedAndNothingLeftReadsZero) {
  EXPECT_EQ(ProgressStatistics::FormatEstimate(13 * 3600 + 61), "13:01:01");
  EXPECT_EQ(ProgressStatistics::FormatEstimate(250 * 3600), "250:00:00");
  Load({2048});
  table_.SetState(0, JobState::Verified);
  stats_.SetRunStart(now_ - 5);
  EXPECT_EQ(stats_.UpdateStatistics(now_), "2 kB of 2 kB done, 0 kB/s, EDT: 00:00:00");
}

TEST_F(StatisticsTest, DoneCountsVerifiedRowsAndOnlyTheRunningDownload) {
  Load({10 * 1024, 20 * 1024, 40 * 1024}, /*installer_row=*/true);
  stats_.SetRunStart(now_);
  table_.SetState(0, JobState::Verified);
  table_.SetState(3, JobState::Verified);  // installer row: never counts
  EXPECT_EQ(stats_.UpdateStatistics(now_), "10 kB of 70 kB done, 0 kB/s, EDT: ");

  callback_.TransferStarted();
  ASSERT_TRUE(callback_.OnProgress(5 * 1024, 20 * 1024));
  EXPECT_EQ(stats_.UpdateStatistics(now_), "15 kB of 70 kB done, 0 kB/s, EDT: ");

  // The download ends and its file is verified: counted once, not twice.
  ASSERT_TRUE(callback_.OnProgress(20 * 1024, 20 * 1024));
  callback_.TransferEnded();
  table_.SetState(1, JobState::Verified);
  EXPECT_EQ(stats_.UpdateStatistics(now_), "30 kB of 70 kB done, 0 kB/s, EDT: ");
}

TEST_F(StatisticsTest, DoneNeverPassesTheTotal) {
  Load({1024});
  table_.SetState(0, JobState::Verified);
  callback_.TransferStarted();
  ASSERT_TRUE(callback_.OnProgress(1 << 30, 0));
  stats_.SetRunStart(now_);
  EXPECT_EQ(stats_.UpdateStatistics(now_), "1 kB of 1 kB done, 0 kB/s, EDT: ");
}

TEST_F(StatisticsTest, VerifiedFileNamedLikeTheInstallerRowDoesNotCount) {
  catalogue_ = Catalogue("v", 0, {{"START INSTALL.EXE", "0123456789abcdef0123456789abcdef", 2048}});
  table_.InsertRow("START INSTALL.EXE");
  table_.SetState(0, JobState::Verified);
  EXPECT_EQ(ProgressStatistics::VerifiedBytes(table_, catalogue_), 0u);
}

TEST_F(StatisticsTest, EveryRunningDownloadCountsAndAFinishedOneNoLonger) {
  Load({10 * 1024, 20 * 1024, 40 * 1024});
  stats_.SetRunStart(now_);
  callback_.TransferStarted();
  second_.TransferStarted();
  ASSERT_TRUE(callback_.OnProgress(5 * 1024, 20 * 1024));
  ASSERT_TRUE(second_.OnProgress(7 * 1024, 40 * 1024));
  EXPECT_EQ(stats_.UpdateStatistics(now_), "12 kB of 70 kB done, 0 kB/s, EDT: ");

  // The first ends and waits for its check: only the second still counts.
  callback_.TransferEnded();
  EXPECT_EQ(stats_.UpdateStatistics(now_), "7 kB of 70 kB done, 0 kB/s, EDT: ");
  // A new transfer on the first worker starts from nothing, not from the
  // last file's count.
  callback_.TransferStarted();
  EXPECT_EQ(stats_.UpdateStatistics(now_), "7 kB of 70 kB done, 0 kB/s, EDT: ");
}

TEST_F(StatisticsTest, TwoThreadsUpdatingAtOnceKeepTheRateConsistent) {
  Load({1ull << 30});
  stats_.SetRunStart(now_ - 1);
  callback_.TransferStarted();
  ASSERT_TRUE(callback_.OnProgress(200 * 1024, 0));
  auto hammer = [this] {
    for (int i = 0; i < 2000; ++i) stats_.UpdateStatistics(now_);
  };
  std::thread a(hammer), b(hammer);
  a.join();
  b.join();
  // A steady sample of 200 settles three below it whatever the interleaving.
  EXPECT_EQ(stats_.SmoothedRate(), 197u);
}

}  // namespace
}  // namespace brenvik
