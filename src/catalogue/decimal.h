#pragma once
// The decimal conversion used for every number in the program's text files:
// leading white space is skipped, one optional sign is accepted, then digits
// are taken up to the first non-digit; no digits give 0. The value is
// returned as a 64-bit unsigned count: a negative value gives 0 and a value
// that does not fit saturates at UINT64_MAX, so nothing overflows.

#include <cstdint>
#include <optional>
#include <string_view>

namespace brenvik {

uint64_t DecimalConversion(std::string_view text);

// A whole number typed on a command line, taken strictly: digits only, at
// most `largest`; nullopt for anything else.
std::optional<uint64_t> ParseWholeNumber(std::string_view text, uint64_t largest = UINT64_MAX);

}  // namespace brenvik
