#include "platform/free_space.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

dev_t DeviceOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_dev;
}

TEST(WindowsDriveRoot, KeepsEverythingUpToTheFirstColonBackslash) {
  EXPECT_EQ(WindowsDriveRoot("D:\\Games\\PellixInstall\\"), "D:\\");
  EXPECT_EQ(WindowsDriveRoot("e:\\data\\"), "e:\\");
  EXPECT_EQ(WindowsDriveRoot("C:\\"), "C:\\");
  EXPECT_EQ(WindowsDriveRoot("\\\\server\\share\\"), "\\");
  EXPECT_EQ(WindowsDriveRoot("relative\\dir"), "r");
  EXPECT_EQ(WindowsDriveRoot(""), "");
}

TEST(WindowsDriveRoot, RecognisesWindowsStylePaths) {
  EXPECT_TRUE(IsWindowsStylePath("D:\\Games\\"));
  EXPECT_TRUE(IsWindowsStylePath("c:"));
  EXPECT_TRUE(IsWindowsStylePath("\\\\?\\C:\\long"));
  EXPECT_FALSE(IsWindowsStylePath("/home/user/Downloads/"));
  EXPECT_FALSE(IsWindowsStylePath("relative/dir"));
  EXPECT_FALSE(IsWindowsStylePath(""));
}

#ifndef _WIN32

TEST(SystemFreeSpace, TempFolderIsOnAMountPointThatPrefixesIt) {
  test::TempDir dir;
  SystemFreeSpace free_space;
  const std::string folder = dir.Folder();

  EXPECT_TRUE(free_space.AvailableBytes(folder).has_value());
  const std::string drive = free_space.DriveOf(folder);
  ASSERT_FALSE(drive.empty());
  EXPECT_EQ(folder.compare(0, drive.size(), drive), 0) << drive << " vs " << folder;
  // Same filesystem as the folder, and its parent is on another one (or it is "/").
  EXPECT_EQ(DeviceOf(drive), DeviceOf(dir.path()));
  if (drive != "/") {
    EXPECT_NE(DeviceOf(fs::path(drive).parent_path()), DeviceOf(drive));
  }
  EXPECT_EQ(free_space.DriveOf("/"), "/");
}

TEST(SystemFreeSpace, StopsAtTheBoundaryOfAMountedFilesystem) {
  if (!fs::is_directory("/proc/self") || DeviceOf("/proc") == DeviceOf("/")) {
    GTEST_SKIP() << "no separate /proc mount here";
  }
  SystemFreeSpace free_space;
  EXPECT_EQ(free_space.DriveOf("/proc/self/fd/"), "/proc");
  EXPECT_EQ(free_space.DriveOf("/proc/no-such-entry/deeper"), "/proc");
}

TEST(SystemFreeSpace, MissingFolderUsesItsNearestExistingAncestor) {
  test::TempDir dir;
  SystemFreeSpace free_space;
  const std::string missing = (dir.path() / "not" / "yet" / "there").string() + "/";

  EXPECT_EQ(free_space.DriveOf(missing), free_space.DriveOf(dir.Folder()));
  EXPECT_TRUE(free_space.AvailableBytes(missing).has_value());
  EXPECT_FALSE(fs::exists(dir.path() / "not"));  // asking creates nothing
}

TEST(SystemFreeSpace, WindowsStyleAndEmptyPathsCannotBeQueriedHere) {
  SystemFreeSpace free_space;
  EXPECT_EQ(free_space.DriveOf("D:\\Games\\PellixInstall\\"), "D:\\");
  EXPECT_FALSE(free_space.AvailableBytes("D:\\Games\\PellixInstall\\").has_value());
  EXPECT_EQ(free_space.DriveOf(""), "");
  EXPECT_FALSE(free_space.AvailableBytes("").has_value());
}

#endif

}  // namespace
}  // namespace brenvik
