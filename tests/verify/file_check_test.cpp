#include "verify/file_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>

#include "catalogue/catalogue.h"
#include "run/job_table.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "verify/md5.h"

namespace brenvik {
namespace {

class FileCheckTest : public ::testing::Test {
 protected:
  // Loads a one-row catalogue naming `name` with `content`'s size and digest
  // (or the given overrides) and points it at the temp folder.
  void Describe(const std::string& name, const std::string& content,
                std::optional<std::string> checksum = std::nullopt,
                std::optional<uint64_t> size = std::nullopt) {
    const Md5Digest digest = Md5Of(content.data(), content.size());
    const std::string line = name + "\t" + checksum.value_or(Md5Hex(digest)) + "\t" +
                             std::to_string(size.value_or(content.size())) + "\n";
    ASSERT_TRUE(catalogue_.LoadFromText(prompt_, "v1\n0\n" + line));
    catalogue_.SetDownloadFolder(dir_.Folder());
    table_.InsertRow(name);
    table_.SetState(0, JobState::PendingCheck);
    table_.SetChangeListener([this](int) {
      std::lock_guard lock(seen_mutex_);
      const std::string status = table_.Status(0);
      if (seen_.empty() || seen_.back() != status) seen_.push_back(status);
    });
  }

  std::vector<std::string> Seen() {
    std::lock_guard lock(seen_mutex_);
    return seen_;
  }

  test::TempDir dir_;
  test::ScriptedPrompt prompt_;
  std::atomic<bool> abort_{false};
  Catalogue catalogue_{abort_};
  JobTable table_;
  std::mutex seen_mutex_;
  std::vector<std::string> seen_;
};

TEST_F(FileCheckTest, CorrectFilePassesWithOkTextImageAndCheckDone) {
  const std::string content = test::RandomBytes(300000, 1);
  Describe("data.bin", content);
  dir_.Write("data.bin", content);

  EXPECT_TRUE(catalogue_.VerifyRow(0, table_, 0));
  EXPECT_EQ(table_.Status(0), "Checksum OK");
  EXPECT_EQ(table_.Image(0), RowImage::kDone);
  EXPECT_EQ(table_.State(0), JobState::CheckDone);
}

TEST_F(FileCheckTest, FilesThatAreNotRightFailWithTheImageLeftAlone) {
  const std::string content = test::RandomBytes(5000, 2);
  struct Case {
    const char* what;
    std::optional<std::string> on_disk;  // nullopt: no file at all
    bool hashed;                         // whether the file is read at all
  };
  std::string corrupted = content;
  corrupted[4321] ^= 0x01;
  const Case cases[] = {
      {"missing", std::nullopt, false},
      {"short", content.substr(0, content.size() - 1), false},
      {"long", content + "x", false},
      {"corrupted", corrupted, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    test::ScriptedPrompt prompt;
    Catalogue catalogue(abort_);
    ASSERT_TRUE(catalogue.LoadFromText(
        prompt, "v\n0\nf.bin:" + Md5Hex(Md5Of(content.data(), content.size())) + ":5000\n"));
    catalogue.SetDownloadFolder(dir.Folder());
    if (c.on_disk) dir.Write("f.bin", *c.on_disk);
    JobTable table;
    table.InsertRow("f.bin");
    table.SetStatusAndImage(0, "Pending Download / Checksum", RowImage::kIdle);
    table.SetState(0, JobState::PendingCheck);

    EXPECT_FALSE(catalogue.VerifyRow(0, table, 0));
    EXPECT_EQ(table.Status(0), "Checksum Failed!");
    EXPECT_EQ(table.State(0), JobState::CheckDone);
    // A file that was read keeps the checksumming image; one that was not
    // read keeps the image it had before the check.
    EXPECT_EQ(table.Image(0), c.hashed ? RowImage::kChecking : RowImage::kIdle);
  }
}

TEST_F(FileCheckTest, UpperCaseChecksumVerifiesTheRightFile) {
  const std::string content = "hello";
  std::string upper = Md5Hex(Md5Of(content.data(), content.size()));
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  ASSERT_NE(upper, Md5Hex(Md5Of(content.data(), content.size())));
  Describe("h.txt", content, upper);
  dir_.Write("h.txt", content);
  EXPECT_TRUE(catalogue_.VerifyRow(0, table_, 0));
  EXPECT_EQ(table_.Status(0), "Checksum OK");

  // Case aside, the digest must still match.
  upper[0] = upper[0] == 'A' ? 'B' : 'A';
  test::TempDir other;
  Catalogue catalogue(abort_);
  ASSERT_TRUE(catalogue.LoadFromText(prompt_, "v\n0\nh.txt:" + upper + ":5\n"));
  catalogue.SetDownloadFolder(other.Folder());
  other.Write("h.txt", content);
  EXPECT_FALSE(catalogue.VerifyRow(0, table_, 0));
}

// A right file reached through a symbolic link below the download folder is
// never read: the row fails as if the file were missing, without the
// diagnostic line.
TEST_F(FileCheckTest, FileReachedThroughALinkFailsLikeAMissingOne) {
  const std::string content = "planted elsewhere";
  test::TempDir outside;
  outside.Write("sub/f.bin", content);
  for (const char* name : {"link/f.bin", "f.bin"}) {
    SCOPED_TRACE(name);
    test::TempDir dir;
    std::filesystem::create_directory_symlink(outside.path() / "sub", dir.path() / "link");
    std::filesystem::create_symlink(outside.path() / "sub/f.bin", dir.path() / "f.bin");
    Catalogue catalogue(abort_);
    ASSERT_TRUE(catalogue.LoadFromText(prompt_, std::string("v\n0\n") + name + "\t" +
                                                    Md5Hex(Md5Of(content.data(), content.size())) +
                                                    "\t17\n"));
    catalogue.SetDownloadFolder(dir.Folder());
    JobTable table;
    table.InsertRow(name);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(catalogue.VerifyRow(0, table, 0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(table.Status(0), "Checksum Failed!");
  }
}

// A FIFO under the name of an empty file would block a reader forever.
TEST_F(FileCheckTest, EntryThatIsNoRegularFileFailsAtOnce) {
  Describe("empty", "");
  ASSERT_EQ(::mkfifo((dir_.path() / "empty").c_str(), 0600), 0);
  EXPECT_FALSE(catalogue_.VerifyRow(0, table_, 0));
  EXPECT_EQ(table_.Status(0), "Checksum Failed!");
}

TEST_F(FileCheckTest, EmptyFilePassesOnlyWithTheEmptyDigestAndShowsNoPercentage) {
  Describe("empty", "");
  dir_.Write("empty", "");
  EXPECT_TRUE(catalogue_.VerifyRow(0, table_, 0));
  EXPECT_EQ(Seen(), (std::vector<std::string>{"Checksum OK"}));
}

TEST_F(FileCheckTest, PercentagesRiseToExactlyOneHundredAndNeverBeyond) {
  const std::string content = test::RandomBytes(kHashBlockSize * 4 + 10, 3);
  Describe("big.bin", content);
  dir_.Write("big.bin", content);
  ASSERT_TRUE(catalogue_.VerifyRow(0, table_, 0));

  std::vector<unsigned> percents;
  for (const auto& text : Seen()) {
    unsigned p = 0;
    if (std::sscanf(text.c_str(), "Checksumming %u %%", &p) == 1) percents.push_back(p);
  }
  ASSERT_GE(percents.size(), 4u);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(percents.back(), 100u);
  EXPECT_EQ(Seen().back(), "Checksum OK");
}

TEST_F(FileCheckTest, SingleBlockFileShowsOneHundredOnce) {
  const std::string content = test::RandomBytes(4096, 4);
  Describe("one.bin", content);
  dir_.Write("one.bin", content);
  ASSERT_TRUE(catalogue_.VerifyRow(0, table_, 0));
  EXPECT_EQ(Seen(), (std::vector<std::string>{"Checksumming 100 %", "Checksum OK"}));
}

TEST_F(FileCheckTest, AbortStopsHashingAndTheCheckFails) {
  const std::string content = test::RandomBytes(kHashBlockSize * 3, 5);
  Describe("a.bin", content);
  dir_.Write("a.bin", content);
  abort_ = true;
  EXPECT_FALSE(catalogue_.VerifyRow(0, table_, 0));
  EXPECT_EQ(table_.Status(0), "Checksum Failed!");
  EXPECT_EQ(table_.State(0), JobState::CheckDone);
}

TEST_F(FileCheckTest, NameWithSubfolderAndEitherSeparatorIsFoundLocally) {
  const std::string content = "inside";
  Describe("sub\\dir/x.txt", content);
  dir_.Write("sub/dir/x.txt", content);
  EXPECT_TRUE(catalogue_.VerifyRow(0, table_, 0));
}

TEST_F(FileCheckTest, HashFileReportsAPathThatCannotBeOpened) {
  Md5Digest digest{};
  digest.fill(0xAB);
  const Md5Digest before = digest;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(HashFile(dir_.path().string(), digest, table_, 0, abort_));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), dir_.path().string() + " can't be opened\n");
  EXPECT_EQ(digest, before);
}

TEST_F(FileCheckTest, UnreadableFileFailsWithTheDiagnosticLine) {
  if (::geteuid() == 0) GTEST_SKIP() << "root can read any file";
  const std::string content = "secret";
  Describe("locked", content);
  const auto path = dir_.Write("locked", content);
  ::chmod(path.c_str(), 0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(catalogue_.VerifyRow(0, table_, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), path.string() + " can't be opened\n");
  EXPECT_EQ(table_.Status(0), "Checksum Failed!");
}

}  // namespace
}  // namespace brenvik
