#include "catalogue/decimal.h"

#include <limits>

namespace brenvik {

namespace {

// The white space of isspace in the C locale, without depending on the
// process's current locale.
constexpr bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

uint64_t DecimalConversion(std::string_view text) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const auto digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (kMax - digit) / 10) {
      value = kMax;  // saturate; further digits cannot bring it back in range
      break;
    }
    value = value * 10 + digit;
  }
  // A byte count cannot be negative: "-0" and "-12" alike give nothing.
  return negative ? 0 : value;
}

std::optional<uint64_t> ParseWholeNumber(std::string_view text, uint64_t largest) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (largest - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace brenvik
