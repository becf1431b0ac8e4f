#include "platform/paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(PathsTest, SafeNamesStayInsideTheFolder) {
  using namespace std::string_literals;
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"Install.exe", true},
      {"Data/one.cab", true},
      {"Data\\Sub\\two.cab", true},
      {"a/./b", true},
      {"..a", true},  // only a whole ".." component climbs
      {"a..", true},
      {"a/..b/c", true},
      {"...", true},
      {" .. ", true},
      {"dir/", true},
      {"", false},
      {"..", false},
      {"../x", false},
      {"..\\x", false},
      {"a/..", false},
      {"a/../b", false},
      {"a\\..\\..\\b", false},
      {"a/b/../../..", false},
      {"/etc/passwd", false},
      {"\\Windows\\x", false},
      {"\\\\server\\share\\x", false},
      {"C:x", false},
      {"C:\\x", false},
      {"a:b", false},
      {"a\0b"s, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSafeRelativeName(c.name), c.safe) << '"' << c.name << '"';
  }
}

TEST(PathsTest, LocalPathUsesThePlatformSeparatorForBothKinds) {
  const std::string s(1, kSeparator);
  EXPECT_EQ(LocalPath("/dl" + s, "Data\\Sub/x.cab"), "/dl" + s + "Data" + s + "Sub" + s + "x.cab");
  EXPECT_EQ(LocalPath("/dl" + s, "Install.exe"), "/dl" + s + "Install.exe");
}

TEST(PathsTest, TrailingSeparatorIsAddedOnce) {
  const std::string s(1, kSeparator);
  EXPECT_EQ(WithTrailingSeparator("/a/b"), "/a/b" + s);
  EXPECT_EQ(WithTrailingSeparator("/a/b" + s), "/a/b" + s);
  EXPECT_EQ(WithTrailingSeparator(""), s);
#ifndef _WIN32
  EXPECT_EQ(WithTrailingSeparator("a\\"), "a\\/");  // a backslash is part of a POSIX name
#endif
}

#ifndef _WIN32
// Sets or unsets HOME for one scope.
class ScopedHome {
 public:
  explicit ScopedHome(const char* value) {
    if (const char* old = std::getenv("HOME")) previous_ = old;
    if (value != nullptr) {
      setenv("HOME", value, 1);
    } else {
      unsetenv("HOME");
    }
  }
  ~ScopedHome() {
    if (previous_) {
      setenv("HOME", previous_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> previous_;
};

TEST(PathsTest, DefaultFolderLiesInTheHomeDownloads) {
  {
    ScopedHome home("/home/tester");
    EXPECT_EQ(DefaultDownloadFolder(), "/home/tester/Downloads/PellixInstall/");
  }
  {
    ScopedHome home("/home/tester/");
    EXPECT_EQ(DefaultDownloadFolder(), "/home/tester/Downloads/PellixInstall/");
  }
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr) return;  // no account entry to compare with
  for (const char* unset_or_empty : {static_cast<const char*>(nullptr), ""}) {
    ScopedHome home(unset_or_empty);
    EXPECT_EQ(DefaultDownloadFolder(),
              WithTrailingSeparator(entry->pw_dir) + "Downloads/PellixInstall/");
  }
}

TEST(PathsTest, DirectoriesAreCreatedLevelByLevel) {
  TempDir dir;
  const std::string root = dir.Folder();

  CreateDirectoriesAlong(root + "a/b/c/");
  EXPECT_TRUE(fs::is_directory(root + "a/b/c"));

  // Without a trailing separator the last component is a file name to be.
  CreateDirectoriesAlong(root + "x/y/z");
  EXPECT_TRUE(fs::is_directory(root + "x/y"));
  EXPECT_FALSE(fs::exists(root + "x/y/z"));

  // Existing levels are fine; a doubled separator is harmless.
  CreateDirectoriesAlong(root + "a/b//d/");
  EXPECT_TRUE(fs::is_directory(root + "a/b/d"));
  EXPECT_TRUE(fs::is_directory(root + "a/b/c"));

  // A file in the way stops nothing from returning, and is left alone.
  dir.Write("f", "data");
  CreateDirectoriesAlong(root + "f/g/");
  EXPECT_TRUE(fs::is_regular_file(root + "f"));
  EXPECT_EQ(dir.Read("f"), "data");
}

TEST(PathsTest, RelativeFoldersAreCreatedInTheWorkingDirectory) {
  TempDir dir;
  test::ScopedWorkingDirectory in_dir(dir.path());
  CreateDirectoriesAlong("rel/sub/");
  EXPECT_TRUE(fs::is_directory(dir.path() / "rel" / "sub"));
  CreateDirectoriesAlong("");
  CreateDirectoriesAlong("/");
}
#endif

}  // namespace
}  // namespace brenvik
