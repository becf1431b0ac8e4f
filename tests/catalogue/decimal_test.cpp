#include "catalogue/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace brenvik {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

TEST(DecimalConversionTest, ReadsLeadingDigitsAfterBlanksAndOneSign) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    uint64_t value;
  } cases[] = {
      {"0", 0},
      {"1234", 1234},
      {"007", 7},
      {" \t\n\v\f\r42", 42},  // every C-locale white space
      {"+15", 15},
      {"12 bytes", 12},
      {"12:34", 12},
      {"4294967296", 4294967296u},  // past 32 bits, exact
      {"", 0},
      {"   ", 0},
      {"abc", 0},
      {"+", 0},
      {"-", 0},
      {"++5", 0},  // one sign only
      {"+-5", 0},
      {"- 5", 0},          // no blanks after the sign
      {"\xA0" + "5"s, 0},  // not white space in the C locale
      {"5\0"s + "9", 5},   // a NUL ends the digits like any other byte
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecimalConversion(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(DecimalConversionTest, NegativeGivesZeroAndOverflowSaturates) {
  EXPECT_EQ(DecimalConversion("-1"), 0u);
  EXPECT_EQ(DecimalConversion("-0"), 0u);
  EXPECT_EQ(DecimalConversion("-99999999999999999999999"), 0u);
  EXPECT_EQ(DecimalConversion("18446744073709551614"), kMax - 1);
  EXPECT_EQ(DecimalConversion("18446744073709551615"), kMax);
  EXPECT_EQ(DecimalConversion("18446744073709551616"), kMax);
  EXPECT_EQ(DecimalConversion("18446744073709551620"), kMax);
  EXPECT_EQ(DecimalConversion("184467440737095516150"), kMax);
  EXPECT_EQ(DecimalConversion(std::string(10000, '9')), kMax);
  EXPECT_EQ(DecimalConversion("00000000000000000000000000018446744073709551615"), kMax);
  EXPECT_EQ(DecimalConversion("000000000000000000000000000123"), 123u);
}

}  // namespace
}  // namespace brenvik
