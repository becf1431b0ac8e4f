#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "support/temp_dir.h"
#include "tools/release_catalogue.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using test::RandomBytes;
using test::TempDir;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// What coreutils' md5sum says about `file`.
std::string Md5sumOf(const fs::path& file) {
  struct Closer {
    void operator()(std::FILE* pipe) const { pclose(pipe); }
  };
  const std::unique_ptr<std::FILE, Closer> pipe(
      popen(("md5sum -- " + Quoted(file.string())).c_str(), "r"));
  if (!pipe) return {};
  char line[512] = {};
  if (std::fgets(line, sizeof line, pipe.get()) == nullptr) return {};
  return std::string(line).substr(0, 32);
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the real catalogue maker with `arguments` (already quoted).
ToolRun RunTool(const TempDir& temp, const std::string& arguments) {
  const std::string command = Quoted(BRENVIK_CATALOGUE_TOOL) + " " + arguments + " >" +
                              Quoted((temp.path() / "tool.out").string()) + " 2>" +
                              Quoted((temp.path() / "tool.err").string());
  const int raw = std::system(command.c_str());
  ToolRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = temp.Read("tool.out");
  run.err = temp.Read("tool.err");
  return run;
}

class CatalogueMakerTest : public ::testing::Test {
 protected:
  CatalogueMakerTest() {
    temp_.Write("release/Install.exe", RandomBytes(70000, 1));
    temp_.Write("release/Data/one.cab", RandomBytes(1024 * 1024 + 3, 2));  // more than a read block
    temp_.Write("release/Data/empty.bin", "");
    temp_.Write("release/Data/FileList.txt", "a file like any other down here\n");
    temp_.Write("release/read me.txt", "hello\n");
    temp_.Write("release/FileList.txt", "an old catalogue, never listed\n");
  }

  std::string Release() const { return Quoted(root_.string()); }

  TempDir temp_;
  const fs::path root_ = temp_.path() / "release";
};

TEST_F(CatalogueMakerTest, ScanAgreesWithMd5sumAndTheFilesystem) {
  const ReleaseScan scan = ScanRelease(root_);
  ASSERT_TRUE(scan.ok()) << scan.error;
  EXPECT_TRUE(scan.warnings.empty());

  std::vector<std::string> names;
  for (const auto& entry : scan.entries) {
    names.push_back(entry.name);
    const fs::path file = root_ / entry.name;
    EXPECT_EQ(entry.checksum, Md5sumOf(file)) << entry.name;
    EXPECT_EQ(entry.size, fs::file_size(file)) << entry.name;
  }
  const std::vector<std::string> expected = {"Data/FileList.txt", "Data/empty.bin", "Data/one.cab",
                                             "Install.exe", "read me.txt"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(TotalSize(scan.entries), 70000u + 1024 * 1024 + 3 + 32 + 6);
}

TEST_F(CatalogueMakerTest, ToolOutputReadsBackThroughTheProgramsParser) {
  const ToolRun run = RunTool(temp_, Release() + " --version 'PellixInstall 1.2'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");

  const ReleaseScan scan = ScanRelease(root_);
  ASSERT_TRUE(scan.ok());
  const uint64_t total = TotalSize(scan.entries);
  EXPECT_EQ(run.out, FormatCatalogue("PellixInstall 1.2", total, scan.entries));
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')), kCatalogueMakerHeader);

  const CatalogueResult parsed = ParseCatalogue(run.out);
  ASSERT_TRUE(std::holds_alternative<Catalogue>(parsed));
  const Catalogue& catalogue = std::get<Catalogue>(parsed);
  EXPECT_EQ(catalogue.Version(), "PellixInstall 1.2");
  EXPECT_EQ(catalogue.ScratchSpaceNeed(), total);  // enough for the whole release by default
  ASSERT_EQ(catalogue.RowCount(), 5);
  EXPECT_EQ(catalogue.Entry(4).name, "read me.txt");
  EXPECT_EQ(catalogue.Entry(4).checksum, Md5sumOf(root_ / "read me.txt"));
  EXPECT_EQ(catalogue.Entry(4).size, 6u);
  EXPECT_EQ(catalogue.Total(), total);
}

TEST_F(CatalogueMakerTest, OutputFileAndScratchOption) {
  const fs::path output = root_ / "FileList.txt";  // replaces the old one, and is not listed
  const ToolRun run = RunTool(
      temp_, Release() + " --version=2.0 --scratch 123456 --output " + Quoted(output.string()));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  const std::string written = temp_.Read("release/FileList.txt");
  EXPECT_EQ(written.substr(0, written.find("Data/")),
            std::string(kCatalogueMakerHeader) + "\n2.0\n123456\n");
  EXPECT_EQ(written.find("\tFileList.txt"), std::string::npos);
  EXPECT_FALSE(fs::exists(output.string() + ".tmp"));

  // Made again from the folder that now holds it: the same catalogue.
  EXPECT_EQ(RunTool(temp_, Release() + " --version 2.0 --scratch 123456").out, written);
}

TEST_F(CatalogueMakerTest, RefusesWhatTheParserWouldRefuseOrMisread) {
  temp_.Write("release/Data/a:b", "colon");
  const ToolRun colon = RunTool(temp_, Release() + " --version 1.0");
  EXPECT_EQ(colon.status, 1);
  EXPECT_EQ(colon.out, "");
  EXPECT_NE(colon.err.find("Data/a:b"), std::string::npos) << colon.err;
  fs::remove(root_ / "Data" / "a:b");

  EXPECT_EQ(RunTool(temp_, Release() + " --version '#1.0'").status, 1);
  EXPECT_EQ(RunTool(temp_, Release() + " --version ''").status, 1);
  EXPECT_EQ(RunTool(temp_, Release() + " --version " + Quoted("1.0\n2")).status, 1);
  EXPECT_EQ(RunTool(temp_, Quoted((temp_.path() / "nothing").string()) + " --version 1").status, 1);
  EXPECT_EQ(RunTool(temp_, Release() + " --version 1.0").status, 0);
}

TEST_F(CatalogueMakerTest, BadUsageIsExitTwoWithTheUsage) {
  for (const std::string& arguments :
       {Release(), std::string("--version 1.0"), Release() + " --version",
        Release() + " --version 1 --scratch 12k", Release() + " --version 1 --bogus",
        Release() + " " + Release() + " --version 1"}) {
    const ToolRun run = RunTool(temp_, arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_NE(run.err.find("usage: brenvik-catalogue DIR --version V"), std::string::npos)
        << arguments;
    EXPECT_EQ(run.out, "");
  }
}

TEST(CatalogueNamesTest, NamesTheProgramWouldReadDifferentlyAreRefused) {
  const std::map<std::string, bool> cases = {
      {"Install.exe", true},
      {"Data/one.cab", true},
      {"read me.txt", true},
      {"100%.txt", true},
      {"%zz", true},
      {" leading blank", true},
      {"a:b", false},
      {"a\tb", false},
      {"a\nb", false},
      {"a\rb", false},
      {"#hash", false},
      {"Data/#hash", true},
      {"a\\b", false},
      {"x%41y", false},
      {"x%4", true},
      {"", false},
      {"../x", false},
      {"/abs", false},
      {"a/../b", false},
      // Names Windows cannot hold, refused on every platform.
      {"Data/nul.txt", false},
      {"COM1", false},
      {"dot.", false},
      {"blank ", false},
      {"a?b", false},
      {"Console.txt", true},
  };
  for (const auto& [name, fine] : cases) {
    EXPECT_EQ(CatalogueNameProblem(name).empty(), fine) << name;
  }
  EXPECT_EQ(CatalogueVersionProblem("PellixInstall 1.0"), "");
  EXPECT_EQ(CatalogueVersionProblem("1.0 # not a comment"), "");
  EXPECT_NE(CatalogueVersionProblem(""), "");
  EXPECT_NE(CatalogueVersionProblem("#1"), "");
  EXPECT_NE(CatalogueVersionProblem("1\r"), "");
}

TEST_F(CatalogueMakerTest, LinksLeadingOutsideAreLeftOutWithAWarning) {
  temp_.Write("outside.bin", "not part of the release");
  fs::create_symlink(temp_.path() / "outside.bin", root_ / "escape.bin");
  fs::create_symlink(root_ / "read me.txt", root_ / "Data" / "alias.txt");
  fs::create_symlink(root_ / "missing", root_ / "dangling");

  const ReleaseScan scan = ScanRelease(root_);
  ASSERT_TRUE(scan.ok()) << scan.error;
  std::vector<std::string> names;
  for (const auto& entry : scan.entries) names.push_back(entry.name);
  EXPECT_EQ(std::count(names.begin(), names.end(), "escape.bin"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "dangling"), 0);
  ASSERT_EQ(std::count(names.begin(), names.end(), "Data/alias.txt"), 1);
  EXPECT_EQ(scan.warnings.size(), 2u);
}

TEST(CatalogueCheckTest, ADifferenceFromTheScanIsFound) {
  std::vector<CatalogueEntry> entries = {{"a.cab", std::string(32, 'a'), 10},
                                         {"b.cab", std::string(32, 'b'), 20}};
  const std::string text = FormatCatalogue("1.0", 30, entries);
  EXPECT_EQ(CheckCatalogueText(text, "1.0", 30, entries), "");
  EXPECT_NE(CheckCatalogueText(text, "1.1", 30, entries), "");
  EXPECT_NE(CheckCatalogueText(text, "1.0", 31, entries), "");
  entries[1].size = 21;
  EXPECT_NE(CheckCatalogueText(text, "1.0", 30, entries), "");
  entries.pop_back();
  EXPECT_NE(CheckCatalogueText(text, "1.0", 30, entries), "");
}

// A published release: base/FileList.txt and base/1.0/<files>, its catalogue
// written by the tool itself.
class ReleaseCheckTest : public ::testing::Test {
 protected:
  ReleaseCheckTest() {
    temp_.Write("base/1.0/Install.exe", RandomBytes(70000, 3));
    temp_.Write("base/1.0/Data/one.cab", RandomBytes(1024 * 1024 + 5, 4));  // more than a block
    temp_.Write("base/1.0/read me.txt", "hello\n");
    const ToolRun made = RunTool(temp_, Base("1.0") + " --version 1.0 --output " +
                                            Quoted((base_ / "FileList.txt").string()));
    EXPECT_EQ(made.status, 0) << made.err;
  }

  std::string Base(const std::string& below = {}) const {
    return Quoted((below.empty() ? base_ : base_ / below).string());
  }
  ToolRun Check() const { return RunTool(temp_, "--check " + Base()); }

  TempDir temp_;
  const fs::path base_ = temp_.path() / "base";
};

TEST_F(ReleaseCheckTest, ACorrectReleasePasses) {
  const ToolRun run = Check();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "3 files of version 1.0 checked: all correct\n");
  EXPECT_EQ(run.err, "");
  // Digests written in capitals by hand match as well, and files beside the
  // catalogue's are none of its business.
  ReleaseScan scan = ScanRelease(base_ / "1.0");
  for (auto& entry : scan.entries) {
    std::transform(entry.checksum.begin(), entry.checksum.end(), entry.checksum.begin(),
                   [](char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c; });
  }
  temp_.Write("base/FileList.txt", FormatCatalogue("1.0", 0, scan.entries));
  temp_.Write("base/1.0/extra.bin", "not listed");
  EXPECT_EQ(Check().out, "3 files of version 1.0 checked: all correct\n");
}

TEST_F(ReleaseCheckTest, AMissingFileIsReported) {
  fs::remove(base_ / "1.0" / "Data" / "one.cab");
  const ToolRun run = Check();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Data/one.cab: missing\n3 files of version 1.0 checked: 1 missing or wrong\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(ReleaseCheckTest, AFileOfTheWrongSizeIsReported) {
  temp_.Write("base/1.0/read me.txt", "hello, world\n");
  const ToolRun run = Check();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "read me.txt: wrong size (13 bytes, the catalogue says 6)\n"
            "3 files of version 1.0 checked: 1 missing or wrong\n");
}

TEST_F(ReleaseCheckTest, AFileWithTheWrongDigestIsReported) {
  const fs::path file = base_ / "1.0" / "Install.exe";
  const std::string listed = Md5sumOf(file);
  temp_.Write("base/1.0/Install.exe", RandomBytes(70000, 5));  // same size, other bytes
  const std::string found = Md5sumOf(file);
  ASSERT_NE(found, listed);
  const ToolRun run = Check();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Install.exe: wrong digest (" + found + ", the catalogue says " + listed +
                         ")\n3 files of version 1.0 checked: 1 missing or wrong\n");
}

TEST_F(ReleaseCheckTest, EveryBadFileIsReportedInCatalogueOrder) {
  fs::remove(base_ / "1.0" / "read me.txt");
  temp_.Write("base/1.0/Install.exe", "short");
  fs::remove(base_ / "1.0" / "Data" / "one.cab");
  fs::create_directory(base_ / "1.0" / "Data" / "one.cab");
  const ToolRun run = Check();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "Data/one.cab: not a regular file\n"
            "Install.exe: wrong size (5 bytes, the catalogue says 70000)\n"
            "read me.txt: missing\n"
            "3 files of version 1.0 checked: 3 missing or wrong\n");
}

TEST_F(ReleaseCheckTest, ACatalogueThatCannotBeReadFailsTheCheck) {
  fs::remove(base_ / "FileList.txt");
  ToolRun run = Check();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "brenvik-catalogue: " + (base_ / "FileList.txt").string() + ": cannot be read\n");

  temp_.Write("base/FileList.txt", "1.0\n0\nInstall.exe\tnot-a-digest\n");
  run = Check();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("the program's parser refuses it"), std::string::npos) << run.err;

  temp_.Write("base/FileList.txt", "../1.0\n0\nInstall.exe\t0123456789abcdef0123456789abcdef\t1\n");
  run = Check();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "brenvik-catalogue: " + (base_ / "FileList.txt").string() +
                         ": the program's parser refuses it: FileList.txt is not a catalogue: the "
                         "version on line 1 is not a safe folder name\n");
}

TEST_F(ReleaseCheckTest, CheckTakesOneFolderAndNothingElse) {
  for (const std::string& arguments :
       {std::string("--check"), std::string("--check="), "--check " + Base() + " --version 1.0",
        "--check " + Base() + " " + Base("1.0"),
        Base("1.0") + " --version 1.0 --check " + Base()}) {
    const ToolRun run = RunTool(temp_, arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_NE(run.err.find("       brenvik-catalogue --check BASE\n"), std::string::npos)
        << arguments;
    EXPECT_EQ(run.out, "") << arguments;
  }
}

}  // namespace
}  // namespace brenvik
