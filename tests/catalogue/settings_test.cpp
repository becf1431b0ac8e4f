#include "catalogue/settings.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/utf8_path.h"
#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::string> EntriesOf(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(Utf8Of(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SettingsTest, SavedFolderLoadsBackWithoutLineEnds) {
  TempDir dir;
  test::ScopedWorkingDirectory in_dir(dir.path());
  const std::string folder = dir.Folder() + "Games" + kSeparator + "PellixInstall" + kSeparator;
  Settings written;
  written.SetStoredFolder(folder);
  ASSERT_TRUE(written.Save());
  EXPECT_EQ(dir.Read("OrvBrenvik.ini"), "# OrvBrenvik.ini\n" + folder + "\n");
  // Nothing but the file and the folder's directories: no temporary file left.
  EXPECT_EQ(EntriesOf(dir.path()), (std::vector<std::string>{"Games", "OrvBrenvik.ini"}));

  Settings read;
  ASSERT_TRUE(read.Load());
  EXPECT_EQ(read.StoredFolder(), folder);
}

TEST(SettingsTest, SaveReplacesAnEarlierFile) {
  TempDir dir;
  const fs::path file =
      dir.Write("OrvBrenvik.ini", "# OrvBrenvik.ini\n/old/folder/with/a/long/name/\n");
  Settings settings;
  settings.SetStoredFolder(dir.Folder());
  ASSERT_TRUE(settings.Save(file));
  EXPECT_EQ(dir.Read("OrvBrenvik.ini"), "# OrvBrenvik.ini\n" + dir.Folder() + "\n");
  EXPECT_EQ(EntriesOf(dir.path()), std::vector<std::string>{"OrvBrenvik.ini"});
}

TEST(SettingsTest, FirstLineThatIsNeitherEmptyNorCommentIsTheFolder) {
  const std::string appended(1, kSeparator);  // as for --folder
  const struct {
    const char* content;
    bool loaded;
    std::string folder;
  } cases[] = {
      {"# a\n\n# b\r\n\r\n/data/folder/\r\n/ignored/\nmore\n", true, "/data/folder/"},
      {"   \n/data/folder/\n", true, "/data/folder/"},  // a line of blanks names no folder
      {" \t \n", false, "earlier"},
      {" # not a comment\n", true, " # not a comment" + appended},
      {"/no/line/end", true, "/no/line/end" + appended},
      {"/x/Games\n", true, "/x/Games" + appended},
      {"\xEF\xBB\xBF# marked\n/x/\n", true, "\xEF\xBB\xBF# marked" + appended},
      {"# only comments\n\n#\n", false, "earlier"},
      {"", false, "earlier"},
      {"# OrvBrenvik.ini\n\n", false, "earlier"},  // what saving an empty folder writes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    TempDir dir;
    Settings settings;
    settings.SetStoredFolder("earlier");
    EXPECT_EQ(settings.Load(dir.Write("OrvBrenvik.ini", c.content)), c.loaded);
    EXPECT_EQ(settings.StoredFolder(), c.folder);
  }
}

TEST(SettingsTest, MissingFileLoadsNothing) {
  TempDir dir;
  Settings settings;
  EXPECT_FALSE(settings.Load(dir.path() / "OrvBrenvik.ini"));
  EXPECT_FALSE(settings.Load(dir.path()));  // a folder in the file's place
  EXPECT_EQ(settings.StoredFolder(), "");
}

TEST(SettingsTest, EmptyFolderIsSavedButDoesNotLoad) {
  TempDir dir;
  const fs::path file = dir.path() / "OrvBrenvik.ini";
  Settings settings;
  ASSERT_TRUE(settings.Save(file));
  EXPECT_EQ(dir.Read("OrvBrenvik.ini"), "# OrvBrenvik.ini\n\n");
  EXPECT_FALSE(Settings().Load(file));
}

TEST(SettingsTest, FailedSaveLeavesNoTraceAndKeepsTheEarlierFile) {
  TempDir dir;
  Settings settings;
  const TempDir elsewhere;  // storing a folder creates it
  settings.SetStoredFolder(elsewhere.Folder() + "new/folder/");

  // The temporary file cannot be made: no such folder.
  EXPECT_FALSE(settings.Save(dir.path() / "missing" / "OrvBrenvik.ini"));

  // The temporary file is written but cannot replace the target (a folder
  // with content sits there); it must be cleaned up.
  dir.Write("OrvBrenvik.ini/keep", "x");
  EXPECT_FALSE(settings.Save(dir.path() / "OrvBrenvik.ini"));
  EXPECT_EQ(EntriesOf(dir.path()), std::vector<std::string>{"OrvBrenvik.ini"});
  EXPECT_EQ(dir.Read("OrvBrenvik.ini/keep"), "x");
}

TEST(SettingsTest, SaveIntoReadOnlyFolderFailsAndKeepsTheEarlierFile) {
#ifdef _WIN32
  GTEST_SKIP() << "a folder's permission bits do not bind on Windows";
#else
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
#endif
  TempDir dir;
  const std::string earlier = "# OrvBrenvik.ini\n/earlier/\n";
  const fs::path file = dir.Write("OrvBrenvik.ini", earlier);
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  Settings settings;
  const TempDir elsewhere;
  settings.SetStoredFolder(elsewhere.Folder() + "new/");
  EXPECT_FALSE(settings.Save(file));
  fs::permissions(dir.path(), fs::perms::owner_all);
  EXPECT_EQ(dir.Read("OrvBrenvik.ini"), earlier);
  EXPECT_EQ(EntriesOf(dir.path()), std::vector<std::string>{"OrvBrenvik.ini"});
}

// Another program reading the file: POSIX replaces it all the same; Windows
// refuses to replace a file open without sharing its deletion, and the
// save then fails without a trace.
TEST(SettingsTest, SaveWhileTheFileIsOpenElsewhere) {
  TempDir dir;
  const std::string earlier = "# OrvBrenvik.ini\n/earlier/\n";
  const fs::path file = dir.Write("OrvBrenvik.ini", earlier);
  std::ifstream reader(file, std::ios::binary);
  ASSERT_TRUE(reader.is_open());
  Settings settings;
  settings.SetStoredFolder(dir.Folder());
#ifdef _WIN32
  EXPECT_FALSE(settings.Save(file));
  EXPECT_EQ(dir.Read("OrvBrenvik.ini"), earlier);
#else
  EXPECT_TRUE(settings.Save(file));
  EXPECT_EQ(dir.Read("OrvBrenvik.ini"), "# OrvBrenvik.ini\n" + dir.Folder() + "\n");
#endif
  EXPECT_EQ(EntriesOf(dir.path()), std::vector<std::string>{"OrvBrenvik.ini"});
}

TEST(SettingsTest, StoringAFolderCreatesItsDirectories) {
  TempDir dir;
  Settings settings;
  const std::string three = dir.Folder() + "one/two/three/";
  settings.SetStoredFolder(three);
  EXPECT_EQ(settings.StoredFolder(), three);
  EXPECT_TRUE(fs::is_directory(dir.path() / "one" / "two" / "three"));

  settings.SetStoredFolder(dir.Folder() + "four/five");  // no trailing separator
  EXPECT_TRUE(fs::is_directory(dir.path() / "four"));
  EXPECT_FALSE(fs::exists(dir.path() / "four" / "five"));
}

// Windows reads a narrow path in its code page; a folder or a settings file
// named outside it must still save and load.
TEST(SettingsTest, NamesOutsideAsciiSaveAndLoad) {
  TempDir dir;
  const fs::path place = dir.path() / PathFromUtf8("Einstellungen-\xC3\xBC-\xE6\x97\xA5");
  fs::create_directories(place);
  const fs::path file = place / PathFromUtf8("OrvBrenvik-\xC3\xA9.ini");
  const std::string folder = dir.Folder() + "Spi\xC3\xA9le-\xD0\xB4" + kSeparator;
  Settings written;
  written.SetStoredFolder(folder);
  EXPECT_TRUE(fs::is_directory(PathFromUtf8(folder)));
  ASSERT_TRUE(written.Save(file));
  EXPECT_EQ(EntriesOf(place), std::vector<std::string>{"OrvBrenvik-\xC3\xA9.ini"});

  Settings read;
  ASSERT_TRUE(read.Load(file));
  EXPECT_EQ(read.StoredFolder(), folder);
}

// A second save replaces the first in place; the temporary names it uses
// never collide with an entry already there.
TEST(SettingsTest, RepeatedSavesKeepOnlyTheLatest) {
  TempDir dir;
  const TempDir elsewhere;
  const fs::path file = dir.path() / "OrvBrenvik.ini";
  for (int i = 0; i < 5; ++i) {
    Settings settings;
    settings.SetStoredFolder(elsewhere.Folder() + std::to_string(i) + kSeparator);
    ASSERT_TRUE(settings.Save(file));
  }
  EXPECT_EQ(dir.Read("OrvBrenvik.ini"),
            "# OrvBrenvik.ini\n" + elsewhere.Folder() + "4" + kSeparator + "\n");
  EXPECT_EQ(EntriesOf(dir.path()), std::vector<std::string>{"OrvBrenvik.ini"});
}

}  // namespace
}  // namespace brenvik
