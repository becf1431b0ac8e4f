#include "platform/contained_files.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"
#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr bool kWindows = true;
// Making symbolic links on Windows takes a privilege, and Wine shows the
// links it makes as the entries they lead to, not as reparse points.
#define SKIP_WITHOUT_SYMBOLIC_LINKS() GTEST_SKIP() << "symbolic links are made on POSIX only"
#else
constexpr bool kWindows = false;
#define SKIP_WITHOUT_SYMBOLIC_LINKS() static_cast<void>(0)
#endif

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void WriteText(int fd, const std::string& bytes) {
  ASSERT_EQ(WriteAll(fd, bytes.data(), bytes.size()), 0);
}

std::string ReadText(int fd) {
  std::string bytes(4096, '\0');
  const long long got = ReadSome(fd, bytes.data(), bytes.size());
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

// A path as the seam shows it in messages.
std::string ShownOf(const fs::path& path) { return Utf8Of(fs::path(path).make_preferred()); }

class ContainedFilesTest : public ::testing::Test {
 protected:
  fs::path Root() const { return dir_.path() / "root"; }
  fs::path Outside() const { return dir_.path() / "outside"; }

  void SetUp() override {
    fs::create_directories(Root());
    fs::create_directories(Outside());
  }

  test::TempDir dir_;
};

TEST_F(ContainedFilesTest, CreatesFoldersAndAFreshFileThatReadsBack) {
  {
    ContainedFile file = CreateFreshFileBelow(Root(), "a\\b/./c.bin");
    ASSERT_TRUE(file.Ok()) << file.Error().message;
    WriteText(file.get(), "bytes");
  }
  ASSERT_TRUE(fs::is_regular_file(Root() / "a" / "b" / "c.bin"));
  if (!kWindows) {  // never group- or world-writable
    const fs::perms perms = fs::status(Root() / "a" / "b" / "c.bin").permissions();
    EXPECT_EQ(perms & (fs::perms::group_write | fs::perms::others_write), fs::perms::none);
  }

  ContainedFile again = OpenForReadingBelow(Root(), "a/b/c.bin");
  ASSERT_TRUE(again.Ok()) << again.Error().message;
  EXPECT_EQ(again.Size(), 5u);
  EXPECT_EQ(ReadText(again.get()), "bytes");

  // A missing root is made.
  EXPECT_TRUE(OpenFolderBelow(dir_.path() / "new" / "deeper", "x", true).Ok());
  EXPECT_TRUE(fs::is_directory(dir_.path() / "new" / "deeper" / "x"));
}

TEST_F(ContainedFilesTest, AppendingWritesAtTheEndOfTheFile) {
  dir_.Write("root/log.part", "head");
  {
    ContainedFile file = OpenForAppendingBelow(Root(), "log.part");
    ASSERT_TRUE(file.Ok()) << file.Error().message;
    EXPECT_EQ(file.Size(), 4u);
    WriteText(file.get(), "+tail");
  }
  EXPECT_EQ(dir_.Read("root/log.part"), "head+tail");
  EXPECT_EQ(OpenForAppendingBelow(Root(), "absent.part").Error().number, ENOENT);
}

TEST_F(ContainedFilesTest, AppendingRefusesAFileWithAnotherName) {
  dir_.Write("outside/victim.bin", "precious");
  fs::create_hard_link(Outside() / "victim.bin", Root() / "linked.part");
  const ContainedFile linked = OpenForAppendingBelow(Root(), "linked.part");
  ASSERT_FALSE(linked.Ok());
  EXPECT_EQ(linked.Error().number, EMLINK);
  EXPECT_EQ(linked.Error().message,
            "\"" + ShownOf(Root() / "linked.part") +
                "\" is a hard link to a file that may lie outside the download folder");
  EXPECT_EQ(dir_.Read("outside/victim.bin"), "precious");
#ifndef _WIN32
  // (The C++ library for MinGW counts one link for every file.)
  EXPECT_EQ(fs::hard_link_count(Outside() / "victim.bin"), 2u);
#endif

  // Reading it is harmless: a folder copied with its files linked is checked as it is.
  EXPECT_TRUE(OpenForReadingBelow(Root(), "linked.part").Ok());
  // Once its other name is gone it is the folder's own again.
  fs::remove(Outside() / "victim.bin");
  EXPECT_TRUE(OpenForAppendingBelow(Root(), "linked.part").Ok());
}

TEST_F(ContainedFilesTest, ARootThatIsALinkIsFollowed) {
  SKIP_WITHOUT_SYMBOLIC_LINKS();
  dir_.Write("root/a/b/c.bin", "bytes");
  fs::create_directory_symlink(Root(), dir_.path() / "root-link");
  EXPECT_TRUE(OpenForReadingBelow(dir_.path() / "root-link", "a/b/c.bin").Ok());
}

TEST_F(ContainedFilesTest, ALinkBelowTheRootIsNeverFollowed) {
  SKIP_WITHOUT_SYMBOLIC_LINKS();
  dir_.Write("outside/secret.txt", "outside");
  fs::create_directory_symlink(Outside(), Root() / "link");
  fs::create_directories(Root() / "a");
  fs::create_directory_symlink(Outside(), Root() / "a" / "deep");
  const std::string shown_link = ShownOf(Root() / "link");

  const ContainedFile created = CreateFreshFileBelow(Root(), "link/evil.txt");
  ASSERT_FALSE(created.Ok());
  EXPECT_EQ(created.Error().number, ELOOP);
  EXPECT_TRUE(Contains(created.Error().message, "\"" + shown_link + "\" is a symbolic link"))
      << created.Error().message;
  EXPECT_FALSE(CreateFreshFileBelow(Root(), "a/deep/sub/evil.txt").Ok());
  EXPECT_FALSE(OpenFolderBelow(Root(), "link/sub", true).Ok());
  EXPECT_FALSE(OpenForReadingBelow(Root(), "link/secret.txt").Ok());
  EXPECT_FALSE(RenameBelow(Root(), "link/secret.txt", "taken.txt").Ok());
  EXPECT_FALSE(RemoveBelow(Root(), "link/secret.txt").Ok());
  EXPECT_EQ(dir_.Read("outside/secret.txt"), "outside");
  EXPECT_FALSE(fs::exists(Outside() / "evil.txt"));
  EXPECT_FALSE(fs::exists(Outside() / "sub"));

  // A leaf that is a link is not read either.
  fs::create_symlink(Outside() / "secret.txt", Root() / "leaf.txt");
  const ContainedFile read = OpenForReadingBelow(Root(), "leaf.txt");
  EXPECT_EQ(read.Error().number, ELOOP) << read.Error().message;
}

TEST_F(ContainedFilesTest, ANameThatClimbsOutIsRefused) {
  fs::create_directories(Root() / "a");
  const ContainedFile climbed = CreateFreshFileBelow(Root(), "a/../../outside/x");
  EXPECT_EQ(climbed.Error().number, EINVAL);
  EXPECT_TRUE(Contains(climbed.Error().message, "leads out of the download folder"));
  EXPECT_FALSE(RenameBelow(Root(), "a/x", "../x").Ok());
  EXPECT_FALSE(OpenFolderBelow(Root(), "..", true).Ok());
  EXPECT_FALSE(fs::exists(Outside() / "x"));
  EXPECT_FALSE(fs::exists(dir_.path() / "x"));
}

TEST_F(ContainedFilesTest, FreshFileReplacesWhateverHeldTheNameAndLeavesItsTargetAlone) {
  dir_.Write("outside/victim.txt", "precious");
  fs::create_hard_link(Outside() / "victim.txt", Root() / "by-hard-link.part");
  ContainedFile file = CreateFreshFileBelow(Root(), "by-hard-link.part");
  ASSERT_TRUE(file.Ok()) << file.Error().message;
  WriteText(file.get(), "new");
  file.Close();
  EXPECT_EQ(dir_.Read("root/by-hard-link.part"), "new");
  EXPECT_EQ(dir_.Read("outside/victim.txt"), "precious");

  // A folder under the name is not removed.
  fs::create_directories(Root() / "busy" / "inside");
  const ContainedFile blocked = CreateFreshFileBelow(Root(), "busy");
  EXPECT_FALSE(blocked.Ok());
  EXPECT_TRUE(Contains(blocked.Error().message, ShownOf(Root() / "busy")));
  EXPECT_TRUE(fs::is_directory(Root() / "busy" / "inside"));
}

TEST_F(ContainedFilesTest, FreshFileReplacesALinkAndLeavesItsTargetAlone) {
  SKIP_WITHOUT_SYMBOLIC_LINKS();
  dir_.Write("outside/victim.txt", "precious");
  fs::create_symlink(Outside() / "victim.txt", Root() / "by-link.part");
  fs::create_symlink(Outside() / "absent.txt", Root() / "by-dangling-link.part");
  for (const char* name : {"by-link.part", "by-dangling-link.part"}) {
    SCOPED_TRACE(name);
    ContainedFile file = CreateFreshFileBelow(Root(), name);
    ASSERT_TRUE(file.Ok()) << file.Error().message;
    WriteText(file.get(), "new");
    EXPECT_FALSE(fs::is_symlink(Root() / name));
    EXPECT_EQ(dir_.Read(std::string("root/") + name), "new");
  }
  EXPECT_EQ(dir_.Read("outside/victim.txt"), "precious");
  EXPECT_FALSE(fs::exists(Outside() / "absent.txt"));
}

// A new file never takes a name that something holds.
TEST_F(ContainedFilesTest, NewFileLeavesWhatHoldsTheNameAlone) {
  const ContainedFolder root = ContainedFolder::Hold(Root(), false);
  dir_.Write("root/taken", "old");
  fs::create_directories(Root() / "folder");
  for (const char* name : {"taken", "folder"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(root.CreateNewFile(name).Error().number, EEXIST);
  }
  EXPECT_EQ(dir_.Read("root/taken"), "old");
  EXPECT_TRUE(root.CreateNewFile("sub/new").Ok());
  EXPECT_TRUE(fs::is_regular_file(Root() / "sub" / "new"));
}

// Not even a link that leads nowhere.
TEST_F(ContainedFilesTest, NewFileLeavesADanglingLinkAlone) {
  SKIP_WITHOUT_SYMBOLIC_LINKS();
  fs::create_symlink(Outside() / "absent.txt", Root() / "dangling");
  EXPECT_EQ(ContainedFolder::Open(Root(), false).CreateNewFile("dangling").Error().number, EEXIST);
  EXPECT_FALSE(fs::exists(Outside() / "absent.txt"));
}

// A held root is opened once, serves many operations and stays the folder
// it opened.
TEST_F(ContainedFilesTest, AHeldRootServesManyOperationsAndKnowsWhenItsPathMoved) {
  const ContainedFolder root = ContainedFolder::Hold(Root(), false);
  ASSERT_TRUE(root.Ok());
  EXPECT_TRUE(root.StillNamedBy(Root()));
  {
    ContainedFile file = root.CreateFreshFile("sub/a.part");
    ASSERT_TRUE(file.Ok()) << file.Error().message;
    WriteText(file.get(), "body");
  }
  ASSERT_TRUE(root.Rename("sub/a.part", "sub/a").Ok());
  ContainedFile read = root.OpenForReading("sub/a");
  ASSERT_TRUE(read.Ok()) << read.Error().message;
  EXPECT_EQ(read.Size(), 4u);
  EXPECT_EQ(ReadText(read.get()), "body");
  read.Close();

  // Its path renamed and taken by a new folder: the held root is still the
  // folder it opened, and says that its path leads elsewhere now.
  fs::rename(Root(), dir_.path() / "renamed");
  EXPECT_FALSE(root.StillNamedBy(Root()));
  fs::create_directories(Root());
  EXPECT_FALSE(root.StillNamedBy(Root()));
  EXPECT_TRUE(root.OpenForReading("sub/a").Ok());
  EXPECT_TRUE(root.CreateFreshFile("sub/b").Ok());
  EXPECT_TRUE(fs::exists(dir_.path() / "renamed" / "sub" / "b"));
  EXPECT_FALSE(fs::exists(Root() / "sub"));
  // Only a root opened to be held tells whether its path still leads to it.
  EXPECT_FALSE(ContainedFolder::Open(Root(), false).StillNamedBy(Root()));
  EXPECT_TRUE(ContainedFolder::Hold(Root(), false).StillNamedBy(Root()));
}

// Each operation walks afresh: a link swapped in between two is refused.
TEST_F(ContainedFilesTest, AHeldRootRefusesALinkSwappedInLater) {
  SKIP_WITHOUT_SYMBOLIC_LINKS();
  const ContainedFolder root = ContainedFolder::Hold(Root(), false);
  dir_.Write("root/sub/a", "body");
  ASSERT_TRUE(root.OpenForReading("sub/a").Ok());
  fs::rename(Root() / "sub", Root() / "moved");
  fs::create_directory_symlink(Outside(), Root() / "sub");
  EXPECT_EQ(root.OpenForReading("sub/a").Error().number, ELOOP);
  EXPECT_FALSE(root.CreateFreshFile("sub/b").Ok());
  EXPECT_FALSE(root.Rename("moved/a", "sub/a").Ok());
  EXPECT_TRUE(fs::is_empty(Outside()));
}

TEST_F(ContainedFilesTest, ReadingAcceptsRegularFilesOnly) {
  fs::create_directories(Root() / "folder");
  EXPECT_EQ(OpenForReadingBelow(Root(), "missing").Error().number, ENOENT);
  EXPECT_EQ(OpenForReadingBelow(Root(), "nowhere/missing").Error().number, ENOENT);
  const ContainedFile folder = OpenForReadingBelow(Root(), "folder");
  EXPECT_EQ(folder.Error().number, EISDIR);
  EXPECT_EQ(folder.Error().message, "\"" + ShownOf(Root() / "folder") + "\" is a folder");
  EXPECT_EQ(OpenForAppendingBelow(Root(), "folder").Error().number, EISDIR);
#ifndef _WIN32
  // Returns at once instead of waiting for a writer.
  ASSERT_EQ(::mkfifo((Root() / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(OpenForReadingBelow(Root(), "fifo").Error().number, EINVAL);
#endif
}

TEST_F(ContainedFilesTest, ErrorsNameThePathAndTheCause) {
  dir_.Write("root/plain", "a file, not a folder");
  const ContainedFile through_file = CreateFreshFileBelow(Root(), "plain/a.bin");
  EXPECT_EQ(through_file.Error().number, ENOTDIR);
  EXPECT_EQ(through_file.Error().message,
            "cannot open the folder \"" + ShownOf(Root() / "plain") + "\": Not a directory");

  // Longer than any file system allows for one name.
  const std::string long_name(256, 'n');
  const ContainedFile too_long = CreateFreshFileBelow(Root(), long_name + "/a.bin");
  EXPECT_EQ(too_long.Error().number, ENAMETOOLONG);
  EXPECT_TRUE(Contains(too_long.Error().message, ShownOf(Root() / long_name)));
  EXPECT_TRUE(CreateFreshFileBelow(Root(), long_name.substr(1)).Ok());

  // Renaming onto a folder fails and leaves both in place.
  dir_.Write("root/a.part", "body");
  fs::create_directories(Root() / "a");
  const ContainedStatus renamed = RenameBelow(Root(), "a.part", "a");
  EXPECT_EQ(renamed.error.number, EISDIR);
  EXPECT_EQ(renamed.error.message, "cannot rename \"" + ShownOf(Root() / "a.part") + "\" to \"" +
                                       ShownOf(Root() / "a") + "\": Is a directory");
  EXPECT_EQ(dir_.Read("root/a.part"), "body");
  const ContainedStatus removed = RemoveBelow(Root(), "a");
  EXPECT_FALSE(removed.Ok());
  EXPECT_TRUE(Contains(removed.error.message, ShownOf(Root() / "a")));
  EXPECT_TRUE(fs::is_directory(Root() / "a"));
}

TEST_F(ContainedFilesTest, RenameAndRemoveStayBelowTheRoot) {
  dir_.Write("root/sub/a.part", "new");
  dir_.Write("root/sub/a", "old");
  ASSERT_TRUE(RenameBelow(Root(), "sub/a.part", "sub\\a").Ok());
  EXPECT_EQ(dir_.Read("root/sub/a"), "new");
  EXPECT_FALSE(fs::exists(Root() / "sub" / "a.part"));
  // Into a folder that does not exist yet.
  ASSERT_TRUE(RenameBelow(Root(), "sub/a", "other/deeper/a").Ok());
  EXPECT_EQ(dir_.Read("root/other/deeper/a"), "new");

  EXPECT_TRUE(RemoveBelow(Root(), "other/deeper/a").Ok());
  EXPECT_FALSE(fs::exists(Root() / "other" / "deeper" / "a"));
  EXPECT_TRUE(RemoveBelow(Root(), "gone/never.part").Ok());
  EXPECT_TRUE(RemoveBelow(dir_.path() / "no-root", "never.part").Ok());
  EXPECT_EQ(RenameBelow(Root(), "absent.part", "absent").error.number, ENOENT);
}

TEST_F(ContainedFilesTest, RemovingALinkLeavesItsTarget) {
  SKIP_WITHOUT_SYMBOLIC_LINKS();
  dir_.Write("outside/kept.txt", "kept");
  fs::create_symlink(Outside() / "kept.txt", Root() / "link.part");
  EXPECT_TRUE(RemoveBelow(Root(), "link.part").Ok());
  EXPECT_FALSE(fs::is_symlink(Root() / "link.part"));
  EXPECT_EQ(dir_.Read("outside/kept.txt"), "kept");
}

// The verifier may still read a file when the download renames or removes
// it: both succeed and the reader keeps its bytes.
TEST_F(ContainedFilesTest, AFileOpenForReadingCanBeRenamedAndRemoved) {
  const ContainedFolder root = ContainedFolder::Hold(Root(), false);
  dir_.Write("root/a.part", "first");
  {
    ContainedFile reader = root.OpenForReading("a.part");
    ASSERT_TRUE(reader.Ok()) << reader.Error().message;
    const ContainedStatus renamed = root.Rename("a.part", "a");
    EXPECT_TRUE(renamed.Ok()) << renamed.error.message;
    EXPECT_EQ(ReadText(reader.get()), "first");
  }
  EXPECT_EQ(dir_.Read("root/a"), "first");
  {
    ContainedFile reader = root.OpenForReading("a");
    ASSERT_TRUE(reader.Ok()) << reader.Error().message;
    const ContainedStatus removed = root.Remove("a");
    EXPECT_TRUE(removed.Ok()) << removed.error.message;
    EXPECT_EQ(ReadText(reader.get()), "first");
  }
  // Windows may keep the name until the last reader has closed the file.
  EXPECT_FALSE(fs::exists(Root() / "a"));
}

// POSIX replaces a name whose file is open; Windows does on file systems
// that offer the same semantics, which Wine does not emulate.
TEST_F(ContainedFilesTest, AFileOpenForReadingCanBeRenamedOver) {
  if (kWindows) GTEST_SKIP() << "depends on the file system's rename semantics";
  const ContainedFolder root = ContainedFolder::Hold(Root(), false);
  dir_.Write("root/a", "old");
  dir_.Write("root/a.part", "new");
  ContainedFile reader = root.OpenForReading("a");
  ASSERT_TRUE(reader.Ok());
  const ContainedStatus renamed = root.Rename("a.part", "a");
  EXPECT_TRUE(renamed.Ok()) << renamed.error.message;
  EXPECT_EQ(ReadText(reader.get()), "old");
  EXPECT_EQ(dir_.Read("root/a"), "new");
}

TEST_F(ContainedFilesTest, NamesOutsideAsciiRoundTrip) {
  const std::string folder = "Spi\xC3\xA9le";                                       // é
  const std::string file = "\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5.bin";  // данные
  const fs::path root = Root() / PathFromUtf8("Wurzel-\xC3\xBC");                   // ü
  {
    ContainedFile created = CreateFreshFileBelow(root, folder + "/" + file);
    ASSERT_TRUE(created.Ok()) << created.Error().message;
    WriteText(created.get(), "bytes");
  }
  EXPECT_TRUE(fs::is_regular_file(root / PathFromUtf8(folder) / PathFromUtf8(file)));
  ContainedFile read = OpenForReadingBelow(root, folder + "\\" + file);
  ASSERT_TRUE(read.Ok()) << read.Error().message;
  EXPECT_EQ(ReadText(read.get()), "bytes");

  const std::string shown = ShownOf(root) + kSeparator + folder + kSeparator + "missing-" + file;
  EXPECT_EQ(ShownPathBelow(root, folder + "/missing-" + file), shown);
  const ContainedFile missing = OpenForReadingBelow(root, folder + "/missing-" + file);
  EXPECT_EQ(missing.Error().number, ENOENT);
  EXPECT_TRUE(Contains(missing.Error().message, "\"" + shown + "\"")) << missing.Error().message;
}

// Paths far past the 260 characters of older Windows programs.
TEST_F(ContainedFilesTest, DeepPathsWork) {
  std::string deep;
  for (int i = 0; i < 12; ++i) deep += std::string(40, static_cast<char>('a' + i)) + "/";
  {
    ContainedFile created = CreateFreshFileBelow(Root(), deep + "file.part");
    ASSERT_TRUE(created.Ok()) << created.Error().message;
    WriteText(created.get(), "deep");
  }
  const ContainedFolder root = ContainedFolder::Hold(Root(), false);
  ASSERT_TRUE(root.Rename(deep + "file.part", deep + "file").Ok());
  ContainedFile read = root.OpenForReading(deep + "file");
  ASSERT_TRUE(read.Ok()) << read.Error().message;
  EXPECT_EQ(ReadText(read.get()), "deep");
  read.Close();
  EXPECT_TRUE(root.Remove(deep + "file").Ok());
  EXPECT_EQ(root.OpenForReading(deep + "file").Error().number, ENOENT);
}

TEST_F(ContainedFilesTest, WindowsRefusesNamesItsProgramsCouldNotOpen) {
  if (!kWindows) GTEST_SKIP() << "these names are ordinary on POSIX";
  for (const char* name : {"NUL", "sub/con.txt", "Com1.bin", "trailing.", "trailing ", "a:b",
                           "what?", "a<b", "ctl\x01", "bad-\xFF-utf8"}) {
    SCOPED_TRACE(name);
    const ContainedFile created = CreateFreshFileBelow(Root(), name);
    EXPECT_EQ(created.Error().number, EINVAL);
    EXPECT_TRUE(Contains(created.Error().message, "is not a name Windows can use"))
        << created.Error().message;
  }
  EXPECT_TRUE(fs::is_empty(Root()));
  // Names that merely look alike are fine.
  for (const char* name : {"console.txt", "com10", "nul-and-void", ".hidden", "x.y.z"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(CreateFreshFileBelow(Root(), name).Ok());
  }
}

TEST(ShownPathTest, JoinsWithThePlatformSeparatorAndComparesComponents) {
  const std::string sep(1, kSeparator);
  EXPECT_EQ(ShownPathBelow("/x/DIR/", "a\\b"), sep + "x" + sep + "DIR" + sep + "a" + sep + "b");
  EXPECT_EQ(ShownPathBelow("", "./a"), "." + sep + "a");
  // A drive's or the file system's root keeps its separator.
  EXPECT_EQ(ShownPathBelow(kWindows ? "C:\\" : "/", "a"), kWindows ? "C:\\a" : "/a");
  EXPECT_TRUE(SameNameBelow("a\\b/c", "a/b//c"));
  EXPECT_TRUE(SameNameBelow("./a", "a/."));
  EXPECT_FALSE(SameNameBelow("a/b/c", "a/b/c.part"));
}

}  // namespace
}  // namespace brenvik
