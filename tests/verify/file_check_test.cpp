#include "verify/file_check.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/contained_files.h"
#include "platform/utf8_path.h"
#include "support/temp_dir.h"
#include "verify/file_digest.h"
#include "verify/md5.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

// Makes a symbolic link `link` to `target` (a folder when `folder`); false
// when the system refuses (Windows, unless the user may make links).
bool MakeLink(const fs::path& target, const fs::path& link, bool folder) {
  std::error_code error;
  if (folder) {
    fs::create_directory_symlink(target, link, error);
  } else {
    fs::create_symlink(target, link, error);
  }
  return !error;
}

std::string DigestOf(const std::string& content) {
  return Md5Hex(Md5Of(content.data(), content.size()));
}

class FileCheckTest : public ::testing::Test {
 protected:
  // Checks `name` in the temp folder against `content`'s size and digest
  // (or the given overrides), recording the percentages it reports.
  Verdict Check(const std::string& name, const std::string& content,
                std::optional<std::string> checksum = std::nullopt,
                std::optional<uint64_t> size = std::nullopt) {
    return VerifyFile(
        dir_.Folder(), name, size.value_or(content.size()), checksum.value_or(DigestOf(content)),
        [this](uint32_t percent) { percents_.push_back(percent); }, abort_);
  }

  test::TempDir dir_;
  std::atomic<bool> abort_{false};
  std::vector<uint32_t> percents_;
};

TEST_F(FileCheckTest, EachWayOfBeingWrongHasItsVerdict) {
  const std::string content = test::RandomBytes(5000, 2);
  std::string corrupted = content;
  corrupted[4321] ^= 0x01;
  struct Case {
    const char* what;
    std::optional<std::string> on_disk;  // nullopt: no file at all
    Verdict verdict;
  };
  const Case cases[] = {
      {"right", content, Verdict::kPassed},
      {"missing", std::nullopt, Verdict::kMissing},
      {"short", content.substr(0, content.size() - 1), Verdict::kWrongSize},
      {"long", content + "x", Verdict::kWrongSize},
      {"corrupted", corrupted, Verdict::kWrongDigest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    if (c.on_disk) dir.Write("f.bin", *c.on_disk);
    int reports = 0;
    EXPECT_EQ(VerifyFile(
                  dir.Folder(), "f.bin", content.size(), DigestOf(content),
                  [&](uint32_t) { ++reports; }, abort_),
              c.verdict);
    // Only a file of the right size is read at all.
    EXPECT_EQ(reports > 0, c.verdict == Verdict::kPassed || c.verdict == Verdict::kWrongDigest);
  }
}

TEST_F(FileCheckTest, UpperCaseChecksumVerifiesTheRightFile) {
  const std::string content = "hello";
  std::string upper = DigestOf(content);
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  ASSERT_NE(upper, DigestOf(content));
  dir_.Write("h.txt", content);
  EXPECT_EQ(Check("h.txt", content, upper), Verdict::kPassed);
  // Case aside, the digest must still match.
  upper[0] = upper[0] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Check("h.txt", content, upper), Verdict::kWrongDigest);
  EXPECT_TRUE(SameHexDigest("0aF9", "0Af9"));
  EXPECT_FALSE(SameHexDigest("0aF9", "0aF"));
}

// A right file reached through a symbolic link below the download folder is
// never read: it counts as missing, without the diagnostic line.
TEST_F(FileCheckTest, FileReachedThroughALinkCountsAsMissing) {
  const std::string content = "planted elsewhere";
  test::TempDir outside;
  outside.Write("sub/f.bin", content);
  if (!MakeLink(outside.path() / "sub", dir_.path() / "link", true) ||
      !MakeLink(outside.path() / "sub" / "f.bin", dir_.path() / "f.bin", false)) {
    GTEST_SKIP() << "this system does not let the test make symbolic links";
  }
  for (const char* name : {"link/f.bin", "f.bin"}) {
    SCOPED_TRACE(name);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Check(name, content), Verdict::kMissing);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
}

// Checking below a folder held open reads what the path-based check reads,
// and a link swapped in below it between two checks is still never followed.
TEST_F(FileCheckTest, AHeldFolderChecksLikeItsPathAndFollowsNoLink) {
  const std::string content = "in the held folder";
  dir_.Write("sub/f.bin", content);
  const ContainedFolder folder = ContainedFolder::Hold(dir_.path(), false);
  const auto check = [&](const std::string& name) {
    return VerifyFile(folder, name, content.size(), DigestOf(content), {}, abort_);
  };
  EXPECT_EQ(check("sub/f.bin"), Verdict::kPassed);
  EXPECT_EQ(check("sub/absent.bin"), Verdict::kMissing);

  test::TempDir outside;
  outside.Write("f.bin", content);
  std::error_code error;
  fs::rename(dir_.path() / "sub", dir_.path() / "moved", error);
  if (error)
    GTEST_SKIP() << "the system would not move a folder below the held one: " << error.message();
  if (!MakeLink(outside.path(), dir_.path() / "sub", true)) {
    GTEST_SKIP() << "this system does not let the test make symbolic links";
  }
  EXPECT_EQ(check("sub/f.bin"), Verdict::kMissing);
  EXPECT_EQ(check("moved/f.bin"), Verdict::kPassed);
}

TEST_F(FileCheckTest, FolderUnderTheNameCountsAsMissing) {
  fs::create_directories(dir_.path() / "sub" / "folder");
  EXPECT_EQ(Check("sub/folder", ""), Verdict::kMissing);
}

// A FIFO under the name of an empty file would block a reader forever.
TEST_F(FileCheckTest, FifoFailsAtOnce) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no FIFO in its file system";
#else
  ASSERT_EQ(::mkfifo((dir_.path() / "empty").c_str(), 0600), 0);
  EXPECT_EQ(Check("empty", ""), Verdict::kMissing);
#endif
}

TEST_F(FileCheckTest, EmptyFilePassesOnlyWithTheEmptyDigestAndReportsNoPercentage) {
  dir_.Write("empty", "");
  EXPECT_EQ(Check("empty", ""), Verdict::kPassed);
  EXPECT_EQ(Check("empty", "", DigestOf("x"), 0), Verdict::kWrongDigest);
  EXPECT_TRUE(percents_.empty());
}

TEST_F(FileCheckTest, PercentagesRiseToExactlyOneHundredAndNeverBeyond) {
  const std::string content = test::RandomBytes(kHashBlockSize * 4 + 10, 3);
  dir_.Write("big.bin", content);
  ASSERT_EQ(Check("big.bin", content), Verdict::kPassed);
  ASSERT_GE(percents_.size(), 4u);
  EXPECT_TRUE(std::is_sorted(percents_.begin(), percents_.end()));
  EXPECT_EQ(std::adjacent_find(percents_.begin(), percents_.end()), percents_.end());
  EXPECT_EQ(percents_.back(), 100u);

  percents_.clear();
  const std::string one = test::RandomBytes(4096, 4);
  dir_.Write("one.bin", one);
  ASSERT_EQ(Check("one.bin", one), Verdict::kPassed);
  EXPECT_EQ(percents_, std::vector<uint32_t>{100});
}

TEST_F(FileCheckTest, AbortStopsTheReading) {
  const std::string content = test::RandomBytes(kHashBlockSize * 3, 5);
  dir_.Write("a.bin", content);
  abort_ = true;
  EXPECT_EQ(Check("a.bin", content), Verdict::kStopped);
  EXPECT_TRUE(percents_.empty());
}

TEST_F(FileCheckTest, NameWithSubfolderAndEitherSeparatorIsFoundLocally) {
  const std::string content = "inside";
  dir_.Write("sub/dir/x.txt", content);
  EXPECT_EQ(Check("sub\\dir/x.txt", content), Verdict::kPassed);
}

TEST_F(FileCheckTest, UnreadableFileFailsWithTheDiagnosticLine) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no permission bits that keep a file's owner from reading it";
#else
  if (::geteuid() == 0) GTEST_SKIP() << "root can read any file";
#endif
  const std::string content = "secret";
  const auto path = dir_.Write("locked", content);
  fs::permissions(path, fs::perms::none);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Check("locked", content), Verdict::kUnreadable);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), Utf8Of(path) + " can't be opened\n");
}

TEST(FileDigestTest, DigestAndCountCoverTheWholeFileAndAReadErrorIsTold) {
  test::TempDir dir;
  const std::string content = test::RandomBytes(kHashBlockSize * 2 + 7, 6);
  dir.Write("f.bin", content);
  const ContainedFile file = OpenForReadingBelow(dir.path(), "f.bin");
  ASSERT_TRUE(file.Ok()) << file.Error().message;
  const FileDigest read = DigestOpenFile(file.get(), 0);
  EXPECT_EQ(Md5Hex(read.digest), DigestOf(content));
  EXPECT_EQ(read.bytes, content.size());
  EXPECT_FALSE(read.read_error || read.stopped);

  // A folder opens, but cannot be read.
  const ContainedFile folder = OpenFolderBelow(dir.path(), "", false);
  ASSERT_TRUE(folder.Ok()) << folder.Error().message;
  EXPECT_TRUE(DigestOpenFile(folder.get(), 0).read_error);
}

}  // namespace
}  // namespace brenvik
