#include "terminal/progress_console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run/run_harness.h"
#include "terminal/console.h"

namespace brenvik {
namespace {

// Display columns of a UTF-8 line: one per code point.
size_t Columns(const std::string& line) {
  size_t columns = 0;
  for (char c : line) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return columns;
}

bool ValidUtf8Ending(const std::string& line) {
  // A cut inside a code point leaves a lead byte without its continuation.
  size_t i = line.size();
  size_t continuation = 0;
  while (i > 0 && (static_cast<unsigned char>(line[i - 1]) & 0xC0) == 0x80) {
    --i;
    ++continuation;
  }
  if (i == 0) return continuation == 0;
  const auto lead = static_cast<unsigned char>(line[i - 1]);
  const size_t wanted = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  return continuation == wanted;
}

JobRow Row(std::string name, RowStatus status, RowImage image = RowImage::kIdle) {
  JobRow row;
  row.name = std::move(name);
  row.status = std::move(status);
  row.image = image;
  return row;
}

TEST(ProgressConsoleTest, WindowKeepsTheFollowedRowInViewAndWithinTheTable) {
  EXPECT_EQ(FirstShownRow(5, 8, 4), 0);    // everything fits
  EXPECT_EQ(FirstShownRow(100, 8, 0), 0);  // the top
  EXPECT_EQ(FirstShownRow(100, 8, 3), 0);
  EXPECT_EQ(FirstShownRow(100, 8, 50), 46);  // about the middle
  EXPECT_EQ(FirstShownRow(100, 8, 99), 92);  // never past the end
  EXPECT_EQ(FirstShownRow(100, 8, -1), 92);  // all done: the end, where the installer row is
  EXPECT_EQ(FirstShownRow(100, 0, 50), 0);
  for (int follow = 0; follow < 100; ++follow) {
    const int first = FirstShownRow(100, 7, follow);
    EXPECT_LE(first, follow);
    EXPECT_LT(follow, first + 7);
  }
}

TEST(ProgressConsoleTest, WindowTakesInTheRowBeingDownloaded) {
  EXPECT_EQ(FirstShownRow(100, 8, 2, 50), 43);   // the download at the bottom of the window
  EXPECT_EQ(FirstShownRow(100, 8, 90, 10), 10);  // at the top
  EXPECT_EQ(FirstShownRow(100, 8, 50, 48), 46);  // in view already: the window stays
  EXPECT_EQ(FirstShownRow(100, 8, -1, 3), 3);
  EXPECT_EQ(FirstShownRow(100, 8, 50, -1), 46);
  EXPECT_EQ(FirstShownRow(5, 8, 0, 4), 0);

  // Only a download that has reported progress counts.
  std::vector<JobRow> rows(4);
  rows[2].image = RowImage::kBusy;
  EXPECT_EQ(RunningDownloadRow(rows, 2), 2);
  EXPECT_EQ(RunningDownloadRow(rows, 1), -1);
  EXPECT_EQ(RunningDownloadRow(rows, -1), -1);
  EXPECT_EQ(RunningDownloadRow(rows, 4), -1);

  LiveView view;
  for (int i = 0; i < 20; ++i)
    view.rows.push_back(Row("file" + std::to_string(i), {RowPhase::kChecksumOk}));
  view.rows[1] = Row("file1", {RowPhase::kPending});
  view.rows[15] = Row("file15", RowStatus::Downloading(42), RowImage::kBusy);
  view.follow_row = 1;
  view.download_row = 15;
  view.row_window = 4;
  const std::vector<std::string> lines = RenderLiveView(view, 80);
  ASSERT_EQ(lines.size(), 2u + 4u + 3u);
  EXPECT_EQ(lines[1], "  File / Operation:  Status:  (13-16 of 20)");
  EXPECT_EQ(lines[5], "> file15             42 % downloaded");
}

TEST(ProgressConsoleTest, ProgressBarFillsByVerifiedBytes) {
  EXPECT_EQ(ProgressBar(0, 1000, 20), "[--------------] 0 %");
  EXPECT_EQ(ProgressBar(500, 1000, 20), "[######-------] 50 %");
  EXPECT_EQ(ProgressBar(1000, 1000, 20), "[############] 100 %");
  // More than the total (a grown file) is shown full, never past it.
  EXPECT_EQ(ProgressBar(5000, 1000, 20), ProgressBar(1000, 1000, 20));
  EXPECT_EQ(ProgressBar(0, 0, 20), "[--------------] 0 %");
  // Sizes beyond 32 bits neither wrap nor overflow.
  EXPECT_EQ(ProgressBar(UINT64_MAX / 2, UINT64_MAX, 20), "[######-------] 49 %");
  EXPECT_EQ(Columns(ProgressBar(1, 3, 80)), 80u);
}

TEST(ProgressConsoleTest, LiveViewShowsTheWindowTheBarAndTheTexts) {
  LiveView view;
  view.title = "Quellmoor Tessivane Brenvik Step 2 / 2 - 00:00:03";
  for (int i = 0; i < 20; ++i)
    view.rows.push_back(Row("file" + std::to_string(i), {RowPhase::kChecksumOk}, RowImage::kDone));
  view.rows[10] = Row("file10", RowStatus::Downloading(42), RowImage::kBusy);
  view.follow_row = 10;
  view.row_window = 4;
  view.verified_bytes = 25;
  view.total_bytes = 100;
  view.status_line = "10 kB of 20 kB done, 3 kB/s, EDT: 00:00:04";
  view.hint = "Press Ctrl-C to cancel.";

  const std::vector<std::string> lines = RenderLiveView(view, 80);
  ASSERT_EQ(lines.size(), 2u + 4u + 3u);
  EXPECT_EQ(lines[0], view.title);
  EXPECT_EQ(lines[1], "  File / Operation:  Status:  (9-12 of 20)");
  EXPECT_EQ(lines[2], "+ file8              Checksum OK");
  EXPECT_EQ(lines[4], "> file10             42 % downloaded");
  EXPECT_EQ(lines[5], "+ file11             Checksum OK");
  EXPECT_EQ(lines[6].substr(lines[6].size() - 6), "] 25 %");
  EXPECT_EQ(lines[7], view.status_line);
  EXPECT_EQ(lines[8], view.hint);
}

TEST(ProgressConsoleTest, LiveViewLinesFitTheWidthAndCarryNoControlCharacters) {
  LiveView view;
  view.title = std::string(200, 'T');
  view.rows.push_back(Row("evil\x1b[2Jname\a", {RowPhase::kChecksumOk}));
  view.rows.push_back(Row(std::string(60, 'n') + "\xc3\xa9\xc3\xa9\xc3\xa9 long \xe2\x82\xac name",
                          RowStatus::LocalFailure(std::string(90, 's') + "\x1b[2J")));
  view.row_window = 2;
  view.total_bytes = 1;
  view.status_line = std::string(300, 'x');
  for (int columns : {30, 47, 80, 200}) {
    const std::vector<std::string> lines = RenderLiveView(view, columns);
    for (const std::string& line : lines) {
      EXPECT_LE(Columns(line), static_cast<size_t>(columns - 1)) << columns << ": " << line;
      EXPECT_TRUE(ValidUtf8Ending(line)) << columns << ": " << line;
      for (char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << line;
    }
  }
  const std::vector<std::string> wide = RenderLiveView(view, 200);
  EXPECT_NE(wide[2].find("evil\\x1B[2Jname\\x07"), std::string::npos) << wide[2];
  EXPECT_NE(wide[3].find("\xe2\x82\xac name"), std::string::npos) << wide[3];
}

// Line mode over a real run: the statistics line goes into the log at the
// interval given, and once more before "All Done.".
class StatisticsLogTest : public test::RunHarness {
 protected:
  // The log of a run whose one file trickles in for about half a second.
  std::string LogOfRun(std::chrono::milliseconds statistics_every) {
    release_.Add("slow.bin", test::RandomBytes(40 * 1024, 7));
    WriteCatalogue();
    server_.Misbehave(release_.PathOf("slow.bin"),
                      test::Behaviour{.trickle = std::chrono::milliseconds(12)});
    RunEngine& run = NewRun();
    std::FILE* log = std::tmpfile();
    {
      Console console(ConsoleStreams{.output = log, .questions = log});
      ProgressConsole progress(console, ProgressMode::kLines, statistics_every);
      RunDriver driver(run, prompt_, progress);
      driver.WatchChanges(progress.Begin(driver.LocationLine()));
      driver.Start();
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!driver.Over() && std::chrono::steady_clock::now() < limit) {
        now_ms_ += 100;
        driver.Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      driver.WatchChanges({});
      progress.End();
    }
    std::string text(static_cast<size_t>(std::ftell(log)), '\0');
    std::rewind(log);
    text.resize(std::fread(text.data(), 1, text.size(), log));
    std::fclose(log);
    return text;
  }

  static int StatisticsLines(const std::string& text) {
    int count = 0;
    for (size_t at = text.find(" kB done, "); at != std::string::npos;
         at = text.find(" kB done, ", at + 1)) {
      ++count;
    }
    return count;
  }
};

TEST_F(StatisticsLogTest, LineModePrintsTheStatisticsAtItsInterval) {
  const std::string often = LogOfRun(std::chrono::milliseconds(1));
  ASSERT_NE(often.find("\nAll Done.\n"), std::string::npos) << often;
  EXPECT_GE(StatisticsLines(often), 3) << often;
}

TEST_F(StatisticsLogTest, WithoutADueIntervalOnlyTheLastLineIsPrinted) {
  const std::string rare = LogOfRun(std::chrono::hours(1));
  ASSERT_NE(rare.find("\nAll Done.\n"), std::string::npos) << rare;
  EXPECT_EQ(StatisticsLines(rare), 1) << rare;
}

}  // namespace
}  // namespace brenvik
