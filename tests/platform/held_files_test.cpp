#include "platform/held_files.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <iterator>
#include <string>

#include "platform/contained_files.h"
#include "support/held_file_probe.h"
#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

constexpr int kTries = static_cast<int>(std::size(kHeldFilePauses)) + 1;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class HeldFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_.Write("a.bin.part", "content"); }

  ContainedFolder Folder() const { return ContainedFolder::Open(dir_.path(), false); }

  test::TempDir dir_;
};

TEST_F(HeldFilesTest, AFileHeldForGoodFailsAfterEveryTryAndSaysAnotherProgramHoldsIt) {
  const test::HeldFile held("rename", "a.bin.part", 1000);
  const ContainedStatus renamed = Folder().Rename("a.bin.part", "a.bin");
  ASSERT_FALSE(renamed.Ok());
  EXPECT_TRUE(renamed.error.held);
  EXPECT_EQ(held.Tries(), kTries);
  EXPECT_TRUE(Contains(renamed.error.message, "a.bin.part\" to \"")) << renamed.error.message;
  EXPECT_TRUE(Contains(renamed.error.message, kHeldFileCause)) << renamed.error.message;
  EXPECT_EQ(dir_.Read("a.bin.part"), "content");
}

TEST_F(HeldFilesTest, RemovalsAndFreshFilesWaitForAHeldFileToo) {
  {
    const test::HeldFile held("remove", "a.bin.part", 3);
    EXPECT_TRUE(Folder().Remove("a.bin.part").Ok());
    EXPECT_EQ(held.Tries(), 4);
    EXPECT_FALSE(fs::exists(dir_.path() / "a.bin.part"));
  }
  dir_.Write("b.bin", "old");
  const test::HeldFile held("remove", "b.bin", 1);
  const ContainedFile fresh = Folder().CreateFreshFile("b.bin");
  EXPECT_TRUE(fresh.Ok()) << fresh.Error().message;
  EXPECT_EQ(held.Tries(), 2);
}

TEST_F(HeldFilesTest, OtherFailuresAreNotTriedAgain) {
  const test::HeldFile held("rename", "missing.part", 0);
  const ContainedStatus renamed = Folder().Rename("missing.part", "missing");
  EXPECT_FALSE(renamed.Ok());
  EXPECT_FALSE(renamed.error.held);
  EXPECT_EQ(held.Tries(), 1);
}

#ifdef _WIN32
// The real thing: a handle that does not share deletion holds the file,
// as a scanner's does.
TEST_F(HeldFilesTest, AFileOpenElsewhereWithoutSharingIsReportedAsHeld) {
  const std::wstring path = (dir_.path() / "a.bin.part").native();
  HANDLE other = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  const ContainedStatus renamed = Folder().Rename("a.bin.part", "a.bin");
  const ContainedStatus removed = Folder().Remove("a.bin.part");
  ::CloseHandle(other);
  for (const ContainedStatus* status : {&renamed, &removed}) {
    ASSERT_FALSE(status->Ok());
    EXPECT_TRUE(status->error.held) << status->error.message;
    EXPECT_TRUE(Contains(status->error.message, kHeldFileCause)) << status->error.message;
  }
  EXPECT_TRUE(Folder().Rename("a.bin.part", "a.bin").Ok());
}
#endif

}  // namespace
}  // namespace brenvik
