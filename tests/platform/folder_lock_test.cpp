#include "platform/folder_lock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

TEST(FolderLockTest, OneHolderPerFolderUntilItLetsGo) {
  test::TempDir dir;
  const fs::path folder = dir.path() / "cd" / "PellixInstall";
  {
    const FolderLock first = FolderLock::Take(folder);
    EXPECT_EQ(first.State(), FolderLockState::kHeld);
    // The missing folder was made for it, and nothing was put in it.
    ASSERT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_empty(folder));

    EXPECT_EQ(FolderLock::Take(folder).State(), FolderLockState::kInUse);
    // Another spelling of the same folder meets the same lock.
    EXPECT_EQ(FolderLock::Take(dir.path() / "cd" / "." / "PellixInstall" / "").State(),
              FolderLockState::kInUse);
#ifndef _WIN32
    fs::create_directory_symlink(folder, dir.path() / "link");
    EXPECT_EQ(FolderLock::Take(dir.path() / "link").State(), FolderLockState::kInUse);
#endif
    // Another folder is free.
    EXPECT_EQ(FolderLock::Take(dir.path() / "other").State(), FolderLockState::kHeld);

    // The lock moves with its holder.
    FolderLock moved = FolderLock::Take(dir.path() / "third");
    const FolderLock kept = std::move(moved);
    EXPECT_EQ(FolderLock::Take(dir.path() / "third").State(), FolderLockState::kInUse);
  }
  EXPECT_EQ(FolderLock::Take(folder).State(), FolderLockState::kHeld);
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST(FolderLockTest, AFolderThatCannotBeMadeHoldsNoLockAndStopsNothing) {
  test::TempDir dir;
  const fs::path file = dir.Write("plain-file", "not a folder");
  EXPECT_EQ(FolderLock::Take(file / "below").State(), FolderLockState::kNone);
}

}  // namespace
}  // namespace brenvik
