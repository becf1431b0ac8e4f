#include "texts/printable_text.h"

#include <gtest/gtest.h>

#include <string>

namespace brenvik {
namespace {

// True when `text` holds no byte a terminal could take as (part of) a
// command: no C0 control but the line feed, no DEL, no C1 control, and
// nothing outside well-formed UTF-8.
bool SafeForTerminal(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F) return false;
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      return false;
    }
    if (byte >= 0x80) {
      // Only the few well-formed sequences the cases below contain.
      const size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 0;
      if (length == 0 || i + length > text.size()) return false;
      for (size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
      }
      i += length - 1;
    }
  }
  return true;
}

TEST(PrintableTextTest, ControlsAreShownAndEverythingElsePasses) {
  // Plain text and well-formed UTF-8 (two, three and four bytes) are kept.
  const std::string plain = "Version 1.0 \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae \\x1B";
  EXPECT_EQ(PrintableText(plain), plain);
  EXPECT_EQ(PrintableLine(plain), plain);

  EXPECT_EQ(PrintableText("a\x1b[2Jb"), "a\\x1B[2Jb");
  EXPECT_EQ(PrintableText("bell\a tab\t cr\r nul" + std::string(1, '\0') + " del\x7f"),
            "bell\\x07 tab\\x09 cr\\x0D nul\\x00 del\\x7F");
  // C1 controls in UTF-8 (CSI and NEL), next to the first code point past them.
  EXPECT_EQ(PrintableText("\xc2\x9b"
                          "31m \xc2\x85 \xc2\xa0"),
            "\\u009B31m \\u0085 \xc2\xa0");
  // Line feeds: kept in a text, shown in a line.
  EXPECT_EQ(PrintableText("one\ntwo\n"), "one\ntwo\n");
  EXPECT_EQ(PrintableLine("one\ntwo"), "one\\x0Atwo");
}

TEST(PrintableTextTest, InvisibleCharactersThatReorderOrHideTextAreShown) {
  // A right-to-left override would make "invoice_\u202Efdp.exe" read as a PDF.
  EXPECT_EQ(PrintableLine("invoice_\xE2\x80\xAE"
                          "fdp.exe"),
            "invoice_\\u202Efdp.exe");
  // Each range at both ends: U+061C, U+200B-U+200F, U+202A-U+202E,
  // U+2066-U+2069, U+FEFF; the code points beside them pass.
  EXPECT_EQ(PrintableText("\xD8\x9C \xE2\x80\x8B \xE2\x80\x8F \xE2\x80\xAA \xE2\x81\xA6 "
                          "\xE2\x81\xA9 \xEF\xBB\xBF"),
            "\\u061C \\u200B \\u200F \\u202A \\u2066 \\u2069 \\uFEFF");
  const std::string beside = "\xD8\x9B \xE2\x80\x8A \xE2\x80\x90 \xE2\x80\xAF \xE2\x81\xAA";
  EXPECT_EQ(PrintableText(beside), beside);
}

TEST(PrintableTextTest, BytesOutsideWellFormedUtf8AreShownOneByOne) {
  // A lone C1 byte (CSI to an 8-bit terminal), a stray continuation byte,
  // a cut sequence before a letter and at the end, overlong forms, a
  // surrogate, beyond U+10FFFF, bytes that never occur.
  EXPECT_EQ(PrintableText("\x9b"
                          "2J"),
            "\\x9B2J");
  EXPECT_EQ(PrintableText("a\x80z"), "a\\x80z");
  EXPECT_EQ(PrintableText("\xe2\x82z"), "\\xE2\\x82z");
  EXPECT_EQ(PrintableText("end\xf0\x9f\x8e"), "end\\xF0\\x9F\\x8E");
  EXPECT_EQ(PrintableText("\xc0\x9b"), "\\xC0\\x9B");
  EXPECT_EQ(PrintableText("\xe0\x82\x9b"), "\\xE0\\x82\\x9B");
  EXPECT_EQ(PrintableText("\xed\xa0\x80"), "\\xED\\xA0\\x80");
  EXPECT_EQ(PrintableText("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
  EXPECT_EQ(PrintableText("\xfe\xff"), "\\xFE\\xFF");
  // The byte after a broken sequence starts afresh.
  EXPECT_EQ(PrintableText("\xc3\xc3\xa9"), "\\xC3\xc3\xa9");
}

TEST(PrintableTextTest, EveryResultIsSafeAndShowingItAgainChangesNothing) {
  // Every single byte, and every byte after each lead byte, in both forms.
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; second += first >= 0xC0 ? 1 : 255) {
      const std::string input{static_cast<char>(first), static_cast<char>(second), 'x'};
      const std::string text = PrintableText(input);
      const std::string line = PrintableLine(input);
      ASSERT_TRUE(SafeForTerminal(text)) << first << " " << second;
      ASSERT_TRUE(SafeForTerminal(line) && line.find('\n') == std::string::npos) << first;
      ASSERT_EQ(PrintableText(text), text) << first << " " << second;
      ASSERT_EQ(PrintableLine(line), line) << first << " " << second;
    }
  }
}

}  // namespace
}  // namespace brenvik
