#include "run/verification_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/contained_files.h"
#include "run/job_table.h"
#include "support/temp_dir.h"
#include "texts/row_text.h"
#include "verify/md5.h"

namespace brenvik {
namespace {

// One catalogue row for a file in a fresh folder, and a job-table row for
// it that records every text it shows.
class CheckJobRowTest : public ::testing::Test {
 protected:
  static ContainedFolder Held(const test::TempDir& dir) {
    return ContainedFolder::Hold(dir.Folder(), false);
  }

  CheckJobRowTest() {
    table_.InsertRow("f.bin");
    table_.SetStatus(0, {RowPhase::kPending});
    table_.SetState(0, JobState::PendingCheck);
    table_.SetChangeListener([this](int) {
      std::lock_guard lock(seen_mutex_);
      const std::string text = RowText(table_.Row(0).status);
      if (seen_.empty() || seen_.back() != text) seen_.push_back(text);
    });
  }

  CatalogueEntry EntryFor(const std::string& content) const {
    return {.name = "f.bin",
            .checksum = Md5Hex(Md5Of(content.data(), content.size())),
            .size = content.size()};
  }

  std::vector<std::string> Seen() {
    std::lock_guard lock(seen_mutex_);
    return seen_;
  }

  test::TempDir dir_;
  std::atomic<bool> abort_{false};
  JobTable table_;
  std::mutex seen_mutex_;
  std::vector<std::string> seen_;
};

TEST_F(CheckJobRowTest, CorrectFileShowsItsProgressThenOkWithTheDoneImage) {
  const std::string content = test::RandomBytes(4096, 1);
  dir_.Write("f.bin", content);
  EXPECT_EQ(CheckJobRow(table_, 0, EntryFor(content), Held(dir_), abort_), Verdict::kPassed);
  EXPECT_EQ(Seen(), (std::vector<std::string>{"Checksumming 100 %", "Checksum OK"}));
  EXPECT_EQ(table_.Row(0).image, RowImage::kDone);
  EXPECT_EQ(table_.Row(0).state, JobState::CheckDone);
}

TEST_F(CheckJobRowTest, FailedCheckKeepsTheImageTheRowHad) {
  const std::string content = test::RandomBytes(5000, 2);
  std::string corrupted = content;
  corrupted[10] ^= 0x01;
  // A file that was read keeps the checksumming image; one that was not
  // read keeps the image it had before the check.
  for (const std::optional<std::string>& on_disk : {std::optional<std::string>(), {corrupted}}) {
    SCOPED_TRACE(on_disk ? "corrupted" : "missing");
    test::TempDir dir;
    if (on_disk) dir.Write("f.bin", *on_disk);
    EXPECT_EQ(CheckJobRow(table_, 0, EntryFor(content), Held(dir), abort_),
              on_disk ? Verdict::kWrongDigest : Verdict::kMissing);
    const JobRow row = table_.Row(0);
    EXPECT_EQ(RowText(row.status), "Checksum Failed!");
    EXPECT_EQ(row.image, on_disk ? RowImage::kChecking : RowImage::kIdle);
    EXPECT_EQ(row.state, JobState::CheckDone);
  }
}

TEST_F(CheckJobRowTest, AbortFailsTheCheck) {
  const std::string content = test::RandomBytes(70000, 3);
  dir_.Write("f.bin", content);
  abort_ = true;
  EXPECT_EQ(CheckJobRow(table_, 0, EntryFor(content), Held(dir_), abort_), Verdict::kStopped);
  EXPECT_EQ(Seen().back(), "Checksum Failed!");
  EXPECT_EQ(table_.Row(0).state, JobState::CheckDone);
}

}  // namespace
}  // namespace brenvik
