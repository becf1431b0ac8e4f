#include "run/download_crew.h"

#include <gtest/gtest.h>

#include "catalogue/catalogue.h"
#include "run/job_table.h"
#include "run/statistics.h"
#include "texts/row_text.h"

namespace brenvik {
namespace {

class DownloadCrewTest : public ::testing::Test {
 protected:
  DownloadCrewTest() {
    catalogue_ = Catalogue("1.0", 0,
                           {{"a", "0123456789abcdef0123456789abcdef", 4096},
                            {"b", "0123456789abcdef0123456789abcdef", 8192}});
    table_.InsertRow("a");
    table_.InsertRow("b");
    stats_.WatchTransfers(crew_.Callbacks());
  }

  std::atomic<bool> abort_{false};
  Catalogue catalogue_;
  JobTable table_;
  ProgressStatistics stats_{table_, catalogue_, [] { return std::chrono::milliseconds(1000); }};
  DownloadCrew crew_{3, 3, abort_, table_, stats_, 2};
};

TEST_F(DownloadCrewTest, EachLaneReportsToItsOwnRowAndTheSharedLine) {
  DownloadLane& first = crew_.Lane(0);
  DownloadLane& second = crew_.Lane(1);
  first.Enter(0, 4096);
  second.Enter(1, 8192);
  first.Callback().TransferStarted();
  second.Callback().TransferStarted();
  ASSERT_TRUE(second.Callback().OnProgress(2048, 8192));
  ASSERT_TRUE(first.Callback().OnProgress(1024, 4096));
  EXPECT_EQ(RowText(table_.Row(0).status), "25 % downloaded");
  EXPECT_EQ(RowText(table_.Row(1).status), "25 % downloaded");
  EXPECT_EQ(table_.Row(1).image, RowImage::kBusy);
  EXPECT_EQ(table_.StatusLine(), "3 kB of 12 kB done, 0 kB/s, EDT: ");

  // A server that sends more than it announced never shows past 100 %.
  ASSERT_TRUE(first.Callback().OnProgress(9000, 4096));
  EXPECT_EQ(RowText(table_.Row(0).status), "100 % downloaded");

  // A lane that left its row writes to no row at all.
  second.Callback().TransferEnded();
  second.Leave();
  second.Callback().TransferStarted();
  ASSERT_TRUE(second.Callback().OnProgress(4096, 8192));
  EXPECT_EQ(RowText(table_.Row(1).status), "25 % downloaded");
}

TEST_F(DownloadCrewTest, BytesInFlightAreWhatOtherLanesStillReserve) {
  DownloadLane& first = crew_.Lane(0);
  DownloadLane& second = crew_.Lane(1);
  first.Enter(0, 1000);
  second.Enter(1, 5000);
  // Reserved before the transfer starts: the whole size is still to come,
  // whatever the callback counted for the lane's last file.
  ASSERT_TRUE(second.Callback().OnProgress(4000, 5000));
  EXPECT_EQ(crew_.BytesInFlight(2), 6000u);
  second.Callback().TransferStarted();
  ASSERT_TRUE(second.Callback().OnProgress(3000, 5000));
  EXPECT_EQ(crew_.BytesInFlight(2), 3000u);
  EXPECT_EQ(crew_.BytesInFlight(1), 1000u);  // a lane's own download does not count
  // More than reserved arrived: nothing more to come, not a wrapped count.
  ASSERT_TRUE(second.Callback().OnProgress(7000, 5000));
  EXPECT_EQ(crew_.BytesInFlight(0), 0u);
  first.Leave();
  EXPECT_EQ(crew_.BytesInFlight(1), 0u);
}

TEST_F(DownloadCrewTest, CountsAreSharedAndTheLastWorkerIsToldSo) {
  EXPECT_EQ(crew_.CountFailure(), 1);
  EXPECT_EQ(crew_.CountFailure(), 2);
  crew_.ResetFailures();
  EXPECT_EQ(crew_.CountFailure(), 1);

  crew_.CountFetch(1);
  crew_.CountFetch(1);
  crew_.CountFetch(7);  // no such row: ignored
  EXPECT_EQ(crew_.Fetches(1), 2);
  EXPECT_EQ(crew_.Fetches(0), 0);
  crew_.ResetFetches(1);
  EXPECT_EQ(crew_.Fetches(1), 0);

  EXPECT_FALSE(crew_.LastToLeave());
  EXPECT_FALSE(crew_.LastToLeave());
  EXPECT_TRUE(crew_.LastToLeave());
}

}  // namespace
}  // namespace brenvik
