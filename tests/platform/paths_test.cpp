#include "platform/paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/utf8_path.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::ScopedEnv;
using test::TempDir;

struct NameCase {
  std::string name;
  bool safe;
};

// Names every platform judges alike.
const NameCase kPortableNames[] = {
    {"Install.exe", true},
    {"Data/one.cab", true},
    {"Data\\Sub\\two.cab", true},
    {"..a", true},  // only a whole ".." component climbs
    {"a/..b/c", true},
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
    {"file.txt:stream", false},
    {"a\0b"s, false},
};

TEST(PathsTest, SafeNamesStayInsideTheFolder) {
  for (const auto& c : kPortableNames) {
    EXPECT_EQ(IsSafeRelativeName(c.name, NameRules::kPortable), c.safe) << '"' << c.name << '"';
    EXPECT_EQ(IsSafeRelativeName(c.name, NameRules::kWindows), c.safe) << '"' << c.name << '"';
  }
  // Dots and blanks at a component's end are plain names on POSIX.
  for (const char* name : {"a/./b", "a..", "...", " .. ", "trail /x"}) {
    EXPECT_TRUE(IsSafeRelativeName(name, NameRules::kPortable)) << '"' << name << '"';
    EXPECT_FALSE(IsSafeRelativeName(name, NameRules::kWindows)) << '"' << name << '"';
  }
}

TEST(PathsTest, WindowsRefusesDeviceNamesInAnyComponent) {
  const NameCase cases[] = {
      {"Data/CON/x.cab", false},   {"Data\\nul.txt", false},   {"aux", false},
      {"Sub/COM1.bin", false},     {"lpt9/readme", false},     {"Data/ok.cab", true},
      {"CONSOLE/x", true},         {"Data/COM10.bin", true},   {"Install.exe", true},
      {"Data/<x>.cab", false},     {"Data/what?.txt", false},  {"a\x01z", false},
      {"Data\\pipe|name", false},  {"Data/\"quoted\"", false}, {"Data/star*.cab", false},
      {"Data/\xC3\xBC.cab", true},  // UTF-8 passes as it is
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSafeRelativeName(c.name, NameRules::kWindows), c.safe) << '"' << c.name << '"';
    EXPECT_TRUE(IsSafeRelativeName(c.name, NameRules::kPortable)) << '"' << c.name << '"';
  }
}

TEST(PathsTest, TheBuildsOwnRulesDecideForCatalogueNames) {
  // The one-argument form is what the catalogue parser calls.
#ifdef _WIN32
  EXPECT_FALSE(IsSafeRelativeName("Data/nul.txt"s));
  EXPECT_FALSE(IsSafeRelativeName("name."s));
#else
  EXPECT_TRUE(IsSafeRelativeName("Data/nul.txt"s));
  EXPECT_TRUE(IsSafeRelativeName("name."s));
#endif
  EXPECT_FALSE(IsSafeRelativeName("../x"s));
}

TEST(WindowsComponentTest, DeviceNamesAreRefusedWithAnyCaseAndExtension) {
  for (const char* name :
       {"CON",         "con",         "Con.txt",       "PRN",        "prn.log",      "AUX",
        "aux.c",       "NUL",         "nul.txt",       "nul.tar.gz", "COM1",         "com1.bin",
        "COM9",        "COM0",        "LPT1",          "lpt5.dat",   "Lpt9",         "CONIN$",
        "conout$.log", "COM\xC2\xB9", "lpt\xC2\xB3.x", "CON .txt",   "NUL  .tar.gz", "AUX..x"}) {
    EXPECT_FALSE(IsWindowsSafeComponent(name)) << '"' << name << '"';
  }
}

TEST(WindowsComponentTest, NamesThatOnlyResembleDevicesPass) {
  for (const char* name :
       {"", "CONSOLE", "COM", "COM10", "COM1x", "LPT", "LPTX", "xCON", "CON_x", "con-fig.txt",
        "nul_", "file.CON", ".con", " CON", "COM\xC2\xB4", ".hidden", " leading", "a.b",
        "\xC3\xBC"
        "ber.txt"}) {
    EXPECT_TRUE(IsWindowsSafeComponent(name)) << '"' << name << '"';
  }
}

TEST(WindowsComponentTest, TrailingDotsBlanksAndForbiddenCharactersAreRefused) {
  for (const std::string& name :
       {"a."s, "a "s, "."s, ".."s, "..."s, "name. "s, "a<b"s, "a>b"s, "a\"b"s, "a|b"s, "a?b"s,
        "a*b"s, "a:b"s, "a\x01z"s, "a\x1F"s, "tab\tname"s, "line\nfeed"s, "a\0b"s}) {
    EXPECT_FALSE(IsWindowsSafeComponent(name)) << '"' << name << '"';
  }
  // DEL and bytes above it are not control characters to Windows.
  EXPECT_TRUE(IsWindowsSafeComponent("a\x7F"));
  EXPECT_TRUE(IsWindowsSafeComponent("a b.c d"));
}

TEST(PathsTest, AsciiCaseIsIgnoredAndNothingElse) {
  EXPECT_TRUE(EqualIgnoringAsciiCase("Install.exe", "INSTALL.EXE"));
  EXPECT_TRUE(EqualIgnoringAsciiCase("", ""));
  EXPECT_FALSE(EqualIgnoringAsciiCase("Install.exe", "Install.ex"));
  EXPECT_FALSE(EqualIgnoringAsciiCase("Install.exe", "Install_exe"));
  // Only letters fold: '@' and '`', '[' and '{' are one bit apart as well.
  EXPECT_FALSE(EqualIgnoringAsciiCase("@", "`"));
  EXPECT_FALSE(EqualIgnoringAsciiCase("[", "{"));
  // Non-ASCII letters are compared byte for byte ("ä" against "Ä").
  EXPECT_FALSE(EqualIgnoringAsciiCase("\xC3\xA4", "\xC3\x84"));
}

TEST(PathsTest, WindowsRootsOfEveryForm) {
  const struct {
    const char* path;
    size_t root;
  } cases[] = {
      {"C:\\Games\\x\\", 3},
      {"c:/Games/", 3},
      {"C:\\", 3},
      {"C:", 2},
      {"C:rel\\x", 2},
      {"\\\\server\\share\\dir\\", 15},
      {"//server/share/dir/", 15},
      {"\\\\server\\share", 14},
      {"\\\\server", 8},
      {"\\\\?\\C:\\long\\x", 7},
      {"\\\\?\\UNC\\server\\share\\x", 21},
      {"\\\\.\\COM1", 8},
      {"\\rooted\\x", 1},
      {"/rooted", 1},
      {"relative\\dir", 0},
      {"1:\\x", 0},  // not a drive letter
      {"", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WindowsRootLength(c.path), c.root) << '"' << c.path << '"';
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
#ifdef _WIN32
  EXPECT_EQ(WithTrailingSeparator("C:/a/"), "C:/a/");  // '/' separates on Windows too
#else
  EXPECT_EQ(WithTrailingSeparator("a\\"), "a\\/");  // a backslash is part of a POSIX name
#endif
}

#ifdef _WIN32
TEST(PathsTest, HomeIsTheUserProfileInUtf8) {
  {
    ScopedEnv profile("USERPROFILE", "C:\\Users\\J\xC3\xB6rg");
    EXPECT_EQ(HomeFolder(), "C:\\Users\\J\xC3\xB6rg");
  }
  // Without the variable the shell still knows the profile folder.
  ScopedEnv profile("USERPROFILE", nullptr);
  EXPECT_FALSE(HomeFolder().empty());
  EXPECT_TRUE(fs::is_directory(PathFromUtf8(HomeFolder()))) << HomeFolder();
}
#else
TEST(PathsTest, DefaultFolderLiesInTheHomeDownloads) {
  {
    ScopedEnv home("HOME", "/home/tester");
    EXPECT_EQ(HomeFolder(), "/home/tester");
    EXPECT_EQ(DefaultDownloadFolder(), "/home/tester/Downloads/PellixInstall/");
  }
  {
    ScopedEnv home("HOME", "/home/tester/");
    EXPECT_EQ(DefaultDownloadFolder(), "/home/tester/Downloads/PellixInstall/");
  }
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr) return;  // no account entry to compare with
  for (const char* unset_or_empty : {static_cast<const char*>(nullptr), ""}) {
    ScopedEnv home("HOME", unset_or_empty);
    EXPECT_EQ(HomeFolder(), entry->pw_dir);
    EXPECT_EQ(DefaultDownloadFolder(),
              WithTrailingSeparator(entry->pw_dir) + "Downloads/PellixInstall/");
  }
}
#endif

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

TEST(PathsTest, DirectoriesWithNonAsciiNamesAreCreatedAsNamed) {
  TempDir dir;
  const std::string s(1, kSeparator);
  const std::string folder =
      dir.Folder() + "J\xC3\xB6rg" + s + "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0" + s;
  CreateDirectoriesAlong(folder);
  EXPECT_TRUE(fs::is_directory(PathFromUtf8(folder)));
  EXPECT_TRUE(fs::is_directory(dir.path() / PathFromUtf8("J\xC3\xB6rg")));
}

#ifdef _WIN32
TEST(PathsTest, BackslashesAndForwardSlashesBothMakeLevels) {
  TempDir dir;
  const std::string root = dir.Folder();
  CreateDirectoriesAlong(root + "a\\b/c\\");
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));
}
#endif

TEST(PathsTest, RelativeFoldersAreCreatedInTheWorkingDirectory) {
  TempDir dir;
  test::ScopedWorkingDirectory in_dir(dir.path());
  CreateDirectoriesAlong("rel/sub/");
  EXPECT_TRUE(fs::is_directory(dir.path() / "rel" / "sub"));
  CreateDirectoriesAlong("");
  CreateDirectoriesAlong("/");
}

}  // namespace
}  // namespace brenvik
