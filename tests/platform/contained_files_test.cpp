#include "platform/contained_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void WriteAll(int fd, const std::string& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string ReadAll(int fd) {
  std::string bytes(4096, '\0');
  const ssize_t got = ::read(fd, bytes.data(), bytes.size());
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

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
    WriteAll(file.get(), "bytes");
  }
  struct stat info {};
  ASSERT_EQ(::stat((Root() / "a/b/c.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0022, 0u);  // never group- or world-writable

  ContainedFile again = OpenForReadingBelow(Root(), "a/b/c.bin");
  ASSERT_TRUE(again.Ok()) << again.Error().message;
  EXPECT_EQ(ReadAll(again.get()), "bytes");

  // A root that is itself a link is followed; a missing root is made.
  fs::create_directory_symlink(Root(), dir_.path() / "root-link");
  EXPECT_TRUE(OpenForReadingBelow(dir_.path() / "root-link", "a/b/c.bin").Ok());
  EXPECT_TRUE(OpenFolderBelow(dir_.path() / "new/deeper", "x", true).Ok());
  EXPECT_TRUE(fs::is_directory(dir_.path() / "new/deeper/x"));
}

TEST_F(ContainedFilesTest, ALinkBelowTheRootIsNeverFollowed) {
  dir_.Write("outside/secret.txt", "outside");
  fs::create_directory_symlink(Outside(), Root() / "link");
  fs::create_directories(Root() / "a");
  fs::create_directory_symlink(Outside(), Root() / "a" / "deep");
  const std::string shown_link = (Root() / "link").string();

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

  EXPECT_FALSE(CreateFreshFileBelow(Root(), "a/../../outside/x").Ok());
  EXPECT_FALSE(fs::exists(Outside() / "x"));
}

TEST_F(ContainedFilesTest, FreshFileReplacesWhateverHeldTheNameAndLeavesItsTargetAlone) {
  dir_.Write("outside/victim.txt", "precious");
  fs::create_symlink(Outside() / "victim.txt", Root() / "by-link.part");
  fs::create_hard_link(Outside() / "victim.txt", Root() / "by-hard-link.part");
  fs::create_symlink(Outside() / "absent.txt", Root() / "by-dangling-link.part");

  for (const char* name : {"by-link.part", "by-hard-link.part", "by-dangling-link.part"}) {
    SCOPED_TRACE(name);
    ContainedFile file = CreateFreshFileBelow(Root(), name);
    ASSERT_TRUE(file.Ok()) << file.Error().message;
    WriteAll(file.get(), "new");
    EXPECT_FALSE(fs::is_symlink(Root() / name));
    EXPECT_EQ(dir_.Read(std::string("root/") + name), "new");
  }
  EXPECT_EQ(dir_.Read("outside/victim.txt"), "precious");
  EXPECT_FALSE(fs::exists(Outside() / "absent.txt"));

  // A folder under the name is not removed.
  fs::create_directories(Root() / "busy/inside");
  const ContainedFile blocked = CreateFreshFileBelow(Root(), "busy");
  EXPECT_FALSE(blocked.Ok());
  EXPECT_TRUE(Contains(blocked.Error().message, (Root() / "busy").string()));
  EXPECT_TRUE(fs::is_directory(Root() / "busy/inside"));
}

// A new file never takes a name that something holds, not even a link
// that leads nowhere.
TEST_F(ContainedFilesTest, NewFileLeavesWhatHoldsTheNameAlone) {
  const ContainedFolder root = ContainedFolder::Hold(Root(), false);
  dir_.Write("root/taken", "old");
  fs::create_symlink(Outside() / "absent.txt", Root() / "dangling");
  for (const char* name : {"taken", "dangling"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(root.CreateNewFile(name).Error().number, EEXIST);
  }
  EXPECT_EQ(dir_.Read("root/taken"), "old");
  EXPECT_FALSE(fs::exists(Outside() / "absent.txt"));
  EXPECT_TRUE(root.CreateNewFile("sub/new").Ok());
  EXPECT_TRUE(fs::is_regular_file(Root() / "sub/new"));
}

// A held root is opened once; every operation still walks below it without
// following links, and it stays the folder it opened.
TEST_F(ContainedFilesTest, AHeldRootServesManyOperationsAndKnowsWhenItsPathMoved) {
  const ContainedFolder root = ContainedFolder::Hold(Root(), false);
  ASSERT_TRUE(root.Ok());
  EXPECT_TRUE(root.StillNamedBy(Root()));
  {
    ContainedFile file = root.CreateFreshFile("sub/a.part");
    ASSERT_TRUE(file.Ok()) << file.Error().message;
    WriteAll(file.get(), "body");
  }
  ASSERT_TRUE(root.Rename("sub/a.part", "sub/a").Ok());
  ContainedFile read = root.OpenForReading("sub/a");
  ASSERT_TRUE(read.Ok()) << read.Error().message;
  EXPECT_EQ(read.Size(), 4u);
  EXPECT_EQ(ReadAll(read.get()), "body");

  // A link swapped in below the root between two operations is refused.
  fs::rename(Root() / "sub", Root() / "moved");
  fs::create_directory_symlink(Outside(), Root() / "sub");
  EXPECT_EQ(root.OpenForReading("sub/a").Error().number, ELOOP);
  EXPECT_FALSE(root.CreateFreshFile("sub/b").Ok());
  EXPECT_FALSE(root.Rename("moved/a", "sub/a").Ok());
  EXPECT_TRUE(fs::is_empty(Outside()));

  // Its path renamed and taken by a new folder: the held root is still the
  // folder it opened, and says that its path leads elsewhere now.
  fs::rename(Root(), dir_.path() / "renamed");
  EXPECT_FALSE(root.StillNamedBy(Root()));
  fs::create_directories(Root());
  EXPECT_FALSE(root.StillNamedBy(Root()));
  EXPECT_TRUE(root.OpenForReading("moved/a").Ok());
  // Only a root opened to be held tells whether its path still leads to it.
  EXPECT_FALSE(ContainedFolder::Open(Root(), false).StillNamedBy(Root()));
  EXPECT_TRUE(ContainedFolder::Hold(Root(), false).StillNamedBy(Root()));
}

TEST_F(ContainedFilesTest, ReadingAcceptsRegularFilesOnly) {
  fs::create_directories(Root() / "folder");
  ASSERT_EQ(::mkfifo((Root() / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(OpenForReadingBelow(Root(), "missing").Error().number, ENOENT);
  EXPECT_EQ(OpenForReadingBelow(Root(), "nowhere/missing").Error().number, ENOENT);
  EXPECT_EQ(OpenForReadingBelow(Root(), "folder").Error().number, EISDIR);
  // Returns at once instead of waiting for a writer.
  EXPECT_EQ(OpenForReadingBelow(Root(), "fifo").Error().number, EINVAL);
}

TEST_F(ContainedFilesTest, ErrorsNameThePathAndTheCause) {
  dir_.Write("root/plain", "a file, not a folder");
  const ContainedFile through_file = CreateFreshFileBelow(Root(), "plain/a.bin");
  EXPECT_EQ(through_file.Error().number, ENOTDIR);
  EXPECT_EQ(through_file.Error().message,
            "cannot open the folder \"" + (Root() / "plain").string() + "\": Not a directory");

  const std::string long_name(NAME_MAX + 1, 'n');
  const ContainedFile too_long = CreateFreshFileBelow(Root(), long_name + "/a.bin");
  EXPECT_EQ(too_long.Error().number, ENAMETOOLONG);
  EXPECT_TRUE(Contains(too_long.Error().message, (Root() / long_name).string()));

  // Renaming onto a folder fails and leaves both in place.
  dir_.Write("root/a.part", "body");
  fs::create_directories(Root() / "a");
  const ContainedStatus renamed = RenameBelow(Root(), "a.part", "a");
  EXPECT_EQ(renamed.error.number, EISDIR);
  EXPECT_EQ(renamed.error.message, "cannot rename \"" + (Root() / "a.part").string() + "\" to \"" +
                                       (Root() / "a").string() + "\": Is a directory");
  EXPECT_EQ(dir_.Read("root/a.part"), "body");
}

TEST_F(ContainedFilesTest, RenameAndRemoveStayBelowTheRoot) {
  dir_.Write("root/sub/a.part", "new");
  dir_.Write("root/sub/a", "old");
  ASSERT_TRUE(RenameBelow(Root(), "sub/a.part", "sub\\a").Ok());
  EXPECT_EQ(dir_.Read("root/sub/a"), "new");
  EXPECT_FALSE(fs::exists(Root() / "sub/a.part"));

  dir_.Write("outside/kept.txt", "kept");
  fs::create_symlink(Outside() / "kept.txt", Root() / "link.part");
  EXPECT_TRUE(RemoveBelow(Root(), "link.part").Ok());
  EXPECT_FALSE(fs::is_symlink(Root() / "link.part"));
  EXPECT_EQ(dir_.Read("outside/kept.txt"), "kept");
  EXPECT_TRUE(RemoveBelow(Root(), "gone/never.part").Ok());

  EXPECT_TRUE(SameNameBelow("a\\b/c", "a/b//c"));
  EXPECT_FALSE(SameNameBelow("a/b/c", "a/b/c.part"));
  EXPECT_EQ(ShownPathBelow("/x/DIR/", "a\\b"), "/x/DIR/a/b");
}

}  // namespace
}  // namespace brenvik
