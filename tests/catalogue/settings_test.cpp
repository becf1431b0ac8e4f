#include "catalogue/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::string> EntriesOf(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SettingsTest, SavedFolderLoadsBackWithoutLineEnds) {
  TempDir dir;
  test::ScopedWorkingDirectory in_dir(dir.path());
  const std::string folder = dir.Folder() + "Games/PellixInstall/";
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
  const struct {
    const char* content;
    bool loaded;
    const char* folder;
  } cases[] = {
      {"# a\n\n# b\r\n\r\n/data/folder/\r\n/ignored/\nmore\n", true, "/data/folder/"},
      {"   \n/data/folder/\n", true, "/data/folder/"},  // a line of blanks names no folder
      {" \t \n", false, "earlier"},
      {" # not a comment\n", true, " # not a comment/"},
      {"/no/line/end", true, "/no/line/end/"},  // the separator is added, as for --folder
      {"/x/Games\n", true, "/x/Games/"},
      {"\xEF\xBB\xBF# marked\n/x/\n", true, "\xEF\xBB\xBF# marked/"},
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
  settings.SetStoredFolder("/new/folder/");

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
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempDir dir;
  const std::string earlier = "# OrvBrenvik.ini\n/earlier/\n";
  const fs::path file = dir.Write("OrvBrenvik.ini", earlier);
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  Settings settings;
  settings.SetStoredFolder("/new/");
  EXPECT_FALSE(settings.Save(file));
  fs::permissions(dir.path(), fs::perms::owner_all);
  EXPECT_EQ(dir.Read("OrvBrenvik.ini"), earlier);
  EXPECT_EQ(EntriesOf(dir.path()), std::vector<std::string>{"OrvBrenvik.ini"});
}

TEST(SettingsTest, StoringAFolderCreatesItsDirectories) {
  TempDir dir;
  Settings settings;
  settings.SetStoredFolder(dir.Folder() + "one/two/three/");
  EXPECT_EQ(settings.StoredFolder(), dir.Folder() + "one/two/three/");
  EXPECT_TRUE(fs::is_directory(dir.path() / "one" / "two" / "three"));

  settings.SetStoredFolder(dir.Folder() + "four/five");  // no trailing separator
  EXPECT_TRUE(fs::is_directory(dir.path() / "four"));
  EXPECT_FALSE(fs::exists(dir.path() / "four" / "five"));
}

}  // namespace
}  // namespace brenvik
