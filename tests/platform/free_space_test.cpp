#include "platform/free_space.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "platform/utf8_path.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace brenvik {
namespace {

namespace fs = std::filesystem;

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

TEST(WindowsVolumeRoot, IsTheDriveOrShareWithBackslashes) {
  EXPECT_EQ(WindowsVolumeRoot("D:\\Games\\x\\"), "D:\\");
  EXPECT_EQ(WindowsVolumeRoot("d:/Games/x/"), "d:\\");
  EXPECT_EQ(WindowsVolumeRoot("D:"), "D:\\");
  EXPECT_EQ(WindowsVolumeRoot("D:relative"), "D:\\");
  EXPECT_EQ(WindowsVolumeRoot("\\\\server\\share\\dir\\"), "\\\\server\\share\\");
  EXPECT_EQ(WindowsVolumeRoot("//server/share"), "\\\\server\\share\\");
  EXPECT_EQ(WindowsVolumeRoot("\\\\?\\C:\\long\\x"), "\\\\?\\C:\\");
  // No drive or share named: the caller resolves these first.
  EXPECT_EQ(WindowsVolumeRoot("\\rooted\\x"), "");
  EXPECT_EQ(WindowsVolumeRoot("relative\\x"), "");
  EXPECT_EQ(WindowsVolumeRoot(""), "");
}

#ifdef _WIN32

TEST(SystemFreeSpace, TempFolderDriveIsItsRootAndHasRoom) {
  test::TempDir dir;
  SystemFreeSpace free_space;
  const std::string folder = dir.Folder();
  const std::string drive = free_space.DriveOf(folder);
  ASSERT_GE(drive.size(), 3u) << folder;
  EXPECT_EQ(drive.back(), '\\');
  EXPECT_TRUE(EqualIgnoringAsciiCase(folder.substr(0, drive.size()), drive))
      << drive << " vs " << folder;
  const auto available = free_space.AvailableBytes(folder);
  ASSERT_TRUE(available.has_value());
  EXPECT_GT(*available, 0u);

  // A folder still to be made is on the same drive, and asking makes nothing.
  const std::string missing = folder + "not\\yet\\there\\";
  EXPECT_EQ(free_space.DriveOf(missing), drive);
  EXPECT_TRUE(free_space.AvailableBytes(missing).has_value());
  EXPECT_FALSE(fs::exists(dir.path() / "not"));
}

TEST(SystemFreeSpace, DrivesAreNamedWithoutAsking) {
  SystemFreeSpace free_space;
  EXPECT_EQ(free_space.DriveOf("D:\\Games\\"), "D:\\");
  EXPECT_EQ(free_space.DriveOf("D:/Games/PellixInstall/"), "D:\\");
  EXPECT_EQ(free_space.DriveOf("\\\\server\\share\\dir\\"), "\\\\server\\share\\");
  EXPECT_EQ(free_space.DriveOf(""), "");
  EXPECT_FALSE(free_space.AvailableBytes("").has_value());
}

TEST(SystemFreeSpace, RelativePathsAreOnTheWorkingDirectorysDrive) {
  test::TempDir dir;
  test::ScopedWorkingDirectory here(dir.path());
  SystemFreeSpace free_space;
  EXPECT_EQ(free_space.DriveOf("sub\\dir\\"), free_space.DriveOf(dir.Folder()));
  EXPECT_EQ(free_space.DriveOf("\\rooted\\dir\\"), free_space.DriveOf(dir.Folder()));
  EXPECT_TRUE(free_space.AvailableBytes("sub\\dir\\").has_value());
}

#else

dev_t DeviceOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_dev;
}

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
  const std::string missing = Utf8Of(dir.path() / "not" / "yet" / "there") + "/";

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
