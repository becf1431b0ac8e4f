#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "support/temp_dir.h"

namespace brenvik {
namespace {

using test::TempDir;

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

struct Row {
  std::string name;
  std::string checksum;
  uint64_t size;
  bool operator==(const Row&) const = default;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << "{\"" << row.name << "\", \"" << row.checksum << "\", " << row.size << "}";
}

class CatalogueTest : public ::testing::Test {
 protected:
  std::vector<Row> Rows() const {
    std::vector<Row> rows;
    for (const CatalogueEntry& entry : catalogue_.Entries()) {
      rows.push_back({entry.name, entry.checksum, entry.size});
    }
    return rows;
  }

  // Parses `text` into catalogue_; false (catalogue_ untouched) on an error.
  bool Parse(std::string_view text) { return Took(ParseCatalogue(text)); }
  bool Took(CatalogueResult result) {
    if (std::holds_alternative<CatalogueError>(result)) return false;
    catalogue_ = std::move(std::get<Catalogue>(result));
    return true;
  }

  Catalogue catalogue_;
};

TEST_F(CatalogueTest, DataLinesAreCountedPastCommentsAndEmptyLines) {
  ASSERT_TRUE(
      Parse("# release catalogue\n"
            "\n"
            "Orv 1.1 PellixInstall\n"
            "# scratch space\n"
            "5000000\n"
            "Setup.exe\t0123456789abcdef0123456789abcdef\t1234\n"
            "\n"
            "# data\n"
            "Data/one.cab:fedcba9876543210fedcba9876543210:4096\n"));
  EXPECT_EQ(catalogue_.Version(), "Orv 1.1 PellixInstall");
  EXPECT_EQ(catalogue_.ScratchSpaceNeed(), 5000000u);
  EXPECT_EQ(Rows(), (std::vector<Row>{
                        {"Setup.exe", "0123456789abcdef0123456789abcdef", 1234},
                        {"Data/one.cab", "fedcba9876543210fedcba9876543210", 4096},
                    }));
  EXPECT_EQ(catalogue_.Total(), 1234u + 4096u);
}

TEST_F(CatalogueTest, FieldsAreTakenWholeWithEitherSeparator) {
#ifdef _WIN32
  // Windows cannot hold a name that ends in a blank (the name rules refuse it).
  const std::string spaced_name = " spaced name";
#else
  const std::string spaced_name = " spaced name ";
#endif
  ASSERT_TRUE(
      Parse("v\n"
            "0\n"
            "tab-colon\tsum1:10\n"
            "colon-tab:sum2\t20\n" +
            spaced_name +
            "\t sum3 \t 30\n"                           // blanks belong to name and checksum
            " #not a comment:sum4:40 bytes\n"           // '#' only skips in the first column
            "trailing:sum5:50:more:fields\tand text\n"  // anything after the digits is ignored
            "no-digits:sum6:about 60\n"
            "empty-size:sum7:\n"
            "Data\\Sub/mixed.bin:sum8:80"));  // last line without a line end
  EXPECT_EQ(Rows(), (std::vector<Row>{
                        {"tab-colon", "sum1", 10},
                        {"colon-tab", "sum2", 20},
                        {spaced_name, " sum3 ", 30},
                        {" #not a comment", "sum4", 40},
                        {"trailing", "sum5", 50},
                        {"no-digits", "sum6", 0},
                        {"empty-size", "sum7", 0},
                        {"Data\\Sub/mixed.bin", "sum8", 80},
                    }));
  EXPECT_EQ(catalogue_.Total(), 10u + 20 + 30 + 40 + 50 + 80);
}

TEST_F(CatalogueTest, CarriageReturnIsDroppedOnlyBeforeALineFeed) {
  ASSERT_TRUE(Parse("1.0\r\n\r\n# c\r\n250\r\na:sum\r:7\r\nb:s:8\r"));
  EXPECT_EQ(catalogue_.Version(), "1.0");
  EXPECT_EQ(catalogue_.ScratchSpaceNeed(), 250u);
  // A '\r' inside a line, and one at the very end without '\n', stay.
  EXPECT_EQ(Rows(), (std::vector<Row>{{"a", "sum\r", 7}, {"b", "s", 8}}));
}

TEST_F(CatalogueTest, ByteOrderMarkBelongsToTheFirstLine) {
  // What would be a comment becomes the version line, and a mark in a
  // version (an invisible character in a folder name) is refused there ...
  const CatalogueResult marked = ParseCatalogue("\xEF\xBB\xBF# comment\n300\nf:c:3\n");
  const auto* error = std::get_if<CatalogueError>(&marked);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->kind, CatalogueError::Kind::kBadVersion);
  EXPECT_EQ(error->line, 1u);
  // ... while the row lines after it are read as ever.
  ASSERT_TRUE(
      Parse("2.0\n300\n\xEF\xBB\xBF"
            "f:c:3\n"));
  EXPECT_EQ(Rows(), (std::vector<Row>{{"\xEF\xBB\xBF"
                                       "f",
                                       "c", 3}}));
}

struct NotACatalogue {
  const char* label;
  std::string text;
  CatalogueError::Kind kind;
  std::string what;  // WhatArrived of the error
};

std::vector<NotACatalogue> NotCatalogues() {
  using namespace std::string_literals;
  using enum CatalogueError::Kind;
  const std::string rows = "0\nf:c:1\n";
  const auto version = [&rows](const char* label, std::string line, unsigned at = 1) {
    return NotACatalogue{
        label, line + "\n" + rows, kBadVersion,
        "the version on line " + std::to_string(at) + " is not a safe folder name"};
  };
  return {
      {"nothing", "", kEmpty, "the server sent an empty file"},
      {"blank lines", " \r\n\n\t\n", kEmpty, "the server sent an empty file"},
      {"NUL bytes", std::string(4096, '\0'), kBinary,
       "the server sent binary data (NUL bytes), not text"},
      {"a NUL in a name", "v\n0\na\0b:c:1\n"s, kBinary,
       "the server sent binary data (NUL bytes), not text"},
      {"gzip", "\x1F\x8B\x08\0\0\0\0\0"s, kCompressed, "the server sent compressed data"},
      {"zstd", "\x28\xB5\x2F\xFD rest", kCompressed, "the server sent compressed data"},
      {"bzip2", "BZh91AY&SY rest", kCompressed, "the server sent compressed data"},
      {"maintenance page",
       "<html><head><title>Down</title></head>\n<body>Back soon</body></html>\n", kWebPage,
       "the server sent a web page"},
      {"page after a mark and blanks", "\xEF\xBB\xBF\r\n  <!DOCTYPE html>\n<p>x\n", kWebPage,
       "the server sent a web page"},
      {"comments only", "# only\n\n# comments\n", kNoFileRows, "no file rows"},
      {"no rows", "v3\n0\n# none\n", kNoFileRows, "no file rows"},
      version("a path", "1.0/../x"),
      version("a parent", ".."),
      version("the folder itself", "."),
      version("a backslash", "1.0\\x"),
      version("a control", "1.0\x1B]0;x\x07"),
      version("a right-to-left override",
              "1.0\xE2\x80\xAE"
              "exe"),
      version("bad UTF-8", "1.0\xC3"),
      version("a colon", "c:1.0"),
      version("after a comment", "# c\n" + std::string(65, 'v'), 2),
      version("empty after a blank line", " \n", 1),
  };
}

TEST(CatalogueErrors, WhatIsNoCatalogueSaysWhatArrived) {
  for (const NotACatalogue& bad : NotCatalogues()) {
    SCOPED_TRACE(bad.label);
    const CatalogueResult parsed = ParseCatalogue(bad.text);
    const auto* error = std::get_if<CatalogueError>(&parsed);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->kind, bad.kind);
    EXPECT_TRUE(error->NotACatalogue());
    EXPECT_EQ(WhatArrived(*error), bad.what);
    EXPECT_EQ(CatalogueErrorMessage(*error), "FileList.txt is not a catalogue: " + bad.what);
  }
}

TEST(CatalogueErrors, AVersionOfSixtyFourPrintableBytesIsAFolder) {
  for (const std::string& version :
       {std::string(64, 'v'), std::string("Orv 1.1 PellixInstall"), std::string("1.0 #2 ?"),
        std::string("Ausgabe \xC3\xA4 1.0")}) {
    EXPECT_TRUE(IsSafeVersion(version)) << version;
    EXPECT_TRUE(std::holds_alternative<Catalogue>(ParseCatalogue(version + "\n0\nf:c:1\n")));
  }
}

TEST_F(CatalogueTest, DuplicateNamesAreSeparateRowsAndBothCount) {
  ASSERT_TRUE(Parse("v\n0\nsame:c1:100\nsame:c2:23\n"));
  EXPECT_EQ(Rows(), (std::vector<Row>{{"same", "c1", 100}, {"same", "c2", 23}}));
  EXPECT_EQ(catalogue_.Total(), 123u);
}

TEST_F(CatalogueTest, PartialFilesNeverTakeTheNameOfARowOrItsFolder) {
  // "a.bin.part" is a row, "b.part" a folder a row needs, and "c" appears
  // with both separators; each partial name is unique and none is a row.
  ASSERT_TRUE(
      Parse("v\n0\na.bin:c:1\na.bin.part:c:2\nb:c:3\nb.part/x:c:4\n"
            "d/c:c:5\nd\\c.part:c:6\nsame:c:7\nsame:c:8\n"));
  const std::vector<std::string> expected = {"a.bin.part1",   "a.bin.part.part", "b.part1",
                                             "b.part/x.part", "d/c.part1",       "d\\c.part.part",
                                             "same.part",     "same.part1"};
  std::vector<std::string> partials;
  for (const CatalogueEntry& entry : catalogue_.Entries()) partials.push_back(entry.partial_name);
  EXPECT_EQ(partials, expected);
}

TEST_F(CatalogueTest, PartialFilesLeaveTheirValidatorNameFree) {
  // "e.part.validator" is a row, so "e.part" cannot be e's partial file.
  ASSERT_TRUE(Parse("v\n0\ne:c:1\ne.part.validator:c:2\n"));
  EXPECT_EQ(catalogue_.Entry(0).partial_name, "e.part1");
  EXPECT_EQ(catalogue_.Entry(1).partial_name, "e.part.validator.part");
}

TEST_F(CatalogueTest, PartialFilesDifferInMoreThanCaseWhereNamesIgnoreIt) {
  // Two downloads at once must never write into one file, nor a partial
  // file land on a row's file: on Windows "A.BIN.part" is "a.bin.part".
  ASSERT_TRUE(Parse("v\n0\na.bin:c:1\nA.BIN:c:2\nb:c:3\nB.PART:c:4\n"));
  const bool ignores_case = kThisSystemsNameRules == NameRules::kWindows;
  EXPECT_EQ(catalogue_.Entry(0).partial_name, "a.bin.part");
  EXPECT_EQ(catalogue_.Entry(1).partial_name, ignores_case ? "A.BIN.part1" : "A.BIN.part");
  EXPECT_EQ(catalogue_.Entry(2).partial_name, ignores_case ? "b.part1" : "b.part");
}

TEST_F(CatalogueTest, LargeSizesNeitherWrapNorOverflow) {
  ASSERT_TRUE(
      Parse("v\n"
            "99999999999999999999999999\n"
            "four-gig:c:4294967296\n"
            "negative:c:-5\n"
            "max:c:18446744073709551615\n"
            "past-max:c:18446744073709551616\n"));
  EXPECT_EQ(catalogue_.ScratchSpaceNeed(), kMax);
  EXPECT_EQ(Rows(), (std::vector<Row>{{"four-gig", "c", 4294967296u},
                                      {"negative", "c", 0},
                                      {"max", "c", kMax},
                                      {"past-max", "c", kMax}}));
  EXPECT_EQ(catalogue_.Total(), kMax);  // saturates instead of wrapping
}

struct BadCatalogue {
  const char* label;
  std::string text;
  std::string message;
};

const std::string kChecksumMissing7 =
    "Error in line 7 in FileList.txt! Couldn't find checksum-separator!";

std::vector<BadCatalogue> BadCatalogues() {
  const auto unsafe = [](const char* label, std::string name) {
    return BadCatalogue{label, "v\n0\ngood:c:5\n" + name + ":c:1\nlater:c:2\n",
                        "Error in line 4 in FileList.txt! Unsafe file name!"};
  };
  return {
      {"no separator, physical line 7",
       "# c\nv\n0\n# c\nok:c:1\n\nno separator at all\nlater:c:2\n", kChecksumMissing7},
      {"line of blanks", "v\n0\n   \n",
       "Error in line 3 in FileList.txt! Couldn't find checksum-separator!"},
      {"second separator missing", "v\n\n0\na:c:1\nname\tchecksum only\nlater:c:2\n",
       "Error in line 5 in FileList.txt! Couldn't find filesize-separator!"},
      {"CRLF keeps the count", "v\r\n0\r\n\r\nname:checksum\r\n",
       "Error in line 4 in FileList.txt! Couldn't find filesize-separator!"},
      unsafe("absolute", "/etc/passwd"),
      unsafe("backslash root", "\\\\server\\share\\x"),
      unsafe("parent", ".."),
      unsafe("climbs out", "a/../../b"),
      unsafe("climbs out with backslashes", "a\\..\\..\\b"),
      unsafe("empty", ""),
      {"a folder", "v\n0\nsub/:c:0\n",
       "Error in line 3 in FileList.txt! The row names a folder, not a file!"},
      {"a folder with a backslash", "v\n0\nok:c:1\nsub\\sub\\:c:0\n",
       "Error in line 4 in FileList.txt! The row names a folder, not a file!"},
#ifdef _WIN32
      // Windows refuses a name ending in a dot before it could name a folder.
      unsafe("the folder itself", "sub/."),
#else
      {"the folder itself", "v\n0\nsub/.:c:0\n",
       "Error in line 3 in FileList.txt! The row names a folder, not a file!"},
#endif
  };
}

TEST(CatalogueErrors, MalformedRowsAreReportedWithTheirPhysicalLine) {
  for (const BadCatalogue& bad : BadCatalogues()) {
    SCOPED_TRACE(bad.label);
    const CatalogueResult parsed = ParseCatalogue(bad.text);
    const auto* error = std::get_if<CatalogueError>(&parsed);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(CatalogueErrorMessage(*error), bad.message);
  }
}

TEST_F(CatalogueTest, LoadReadsTheFileInTheWorkingDirectory) {
  TempDir dir;
  dir.Write("FileList.txt", "# list\r\n1.1\r\n42\r\nInstall.exe:abc:10\r\nData/a.bin:def:20\r\n");
  test::ScopedWorkingDirectory in_dir(dir.path());
  ASSERT_TRUE(Took(LoadCatalogue()));
  EXPECT_EQ(catalogue_.Version(), "1.1");
  EXPECT_EQ(catalogue_.ScratchSpaceNeed(), 42u);
  EXPECT_EQ(Rows(), (std::vector<Row>{{"Install.exe", "abc", 10}, {"Data/a.bin", "def", 20}}));
  EXPECT_EQ(catalogue_.Total(), 30u);
}

TEST(CatalogueErrors, AFileThatCannotBeReadIsAnErrorWithoutAMessage) {
  TempDir dir;
  // Missing, and a folder in the file's place (opens, but cannot be read).
  for (const auto& path : {dir.path() / "FileList.txt", dir.path()}) {
    const CatalogueResult loaded = LoadCatalogue(path);
    const auto* error = std::get_if<CatalogueError>(&loaded);
    ASSERT_NE(error, nullptr) << path;
    EXPECT_EQ(error->kind, CatalogueError::Kind::kUnreadable);
    EXPECT_EQ(CatalogueErrorMessage(*error), "");
  }
}

TEST(CatalogueErrors, AFileLargerThanTheLimitIsNotReadWhole) {
  TempDir dir;
  std::string text = "v\n0\nf:c:1\n";
  text.resize(kCatalogueFileLimit, '#');
  dir.Write("FileList.txt", text);
  EXPECT_TRUE(std::holds_alternative<Catalogue>(LoadCatalogue(dir.path() / "FileList.txt")));
  text += "\n";
  dir.Write("FileList.txt", text);
  const CatalogueResult loaded = LoadCatalogue(dir.path() / "FileList.txt");
  const auto* error = std::get_if<CatalogueError>(&loaded);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->kind, CatalogueError::Kind::kTooLarge);
  EXPECT_EQ(WhatArrived(*error), "larger than 64 MiB");
}

}  // namespace
}  // namespace brenvik
