// Started from a folder it cannot write to, the program keeps its two
// working files in its state folder, says so once, and the run is as
// complete as from anywhere else; from a writable folder nothing changes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/program_runner.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

// A folder nobody running the test can create files in. Permissions do not
// bind root, and CI runs as root: /proc takes no new files from anyone.
fs::path ReadOnlyFolder(const TempDir& sandbox) {
  if (::geteuid() == 0) return "/proc";
  const fs::path folder = sandbox.path() / "read-only";
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  return folder;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class ReadOnlyStartTest : public ::testing::Test {
 protected:
  ReadOnlyStartTest() : release_(server_) {
    release_.Add("a.bin", RandomBytes(40 * 1024, 5));
    release_.Add("data/b.bin", RandomBytes(10 * 1024, 6));
    release_.Publish();
  }

  Outcome RunIn(const fs::path& working_dir) const {
    const ProgramRunner runner(sandbox_);
    return runner.Run(
        working_dir,
        {"--text", "--yes", "--no-install", "--server", server_.Url(), "--folder", Folder()},
        {{"XDG_STATE_HOME", State().string()}});
  }
  std::string Folder() const { return (sandbox_.path() / "cd").string() + "/"; }
  fs::path State() const { return sandbox_.path() / "state"; }

  HttpServer server_;
  Release release_;
  TempDir sandbox_;
};

TEST_F(ReadOnlyStartTest, FilesGoToTheStateFolderAndTheLineSaysSoOnce) {
  const Outcome outcome = RunIn(ReadOnlyFolder(sandbox_));
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_TRUE(Contains(outcome.output, "All Done.")) << outcome.output;
  const fs::path kept = State() / "brenvik";
  EXPECT_EQ(Count(outcome.output,
                  "The folder Brenvik was started in cannot be written: "
                  "FileList.txt and OrvBrenvik.ini are kept in \"" +
                      (kept / "").string() + "\" instead."),
            1u)
      << outcome.output;
  EXPECT_EQ(ReadBytes(kept / "FileList.txt"), release_.CatalogueText());
  EXPECT_TRUE(Contains(ReadBytes(kept / "OrvBrenvik.ini"), Folder()));
  EXPECT_TRUE(ReadBytes(sandbox_.path() / "cd" / "a.bin") == release_.Content("a.bin"));
}

TEST_F(ReadOnlyStartTest, AWritableWorkingFolderKeepsTheFilesAsBefore) {
  const fs::path work = sandbox_.path() / "work";
  fs::create_directories(work);
  const Outcome outcome = RunIn(work);
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_FALSE(Contains(outcome.output, "cannot be written")) << outcome.output;
  EXPECT_TRUE(fs::exists(work / "FileList.txt"));
  EXPECT_TRUE(fs::exists(work / "OrvBrenvik.ini"));
  EXPECT_FALSE(fs::exists(State() / "brenvik"));
  // The probe leaves nothing behind.
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(work)) entries += entry.exists() ? 1 : 0;
  EXPECT_EQ(entries, 2u);
}

}  // namespace
}  // namespace brenvik::test
