#include "texts/printable_text.h"

namespace brenvik {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& out, unsigned char value) {
  out += kHexDigits[value >> 4];
  out += kHexDigits[value & 0x0F];
}

// The length of the well-formed UTF-8 sequence that `text` starts with, or
// 0 when its first byte starts none (the ranges of RFC 3629: no overlong
// forms, no surrogates, nothing beyond U+10FFFF).
size_t WellFormedLength(std::string_view text) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// The code point of a well-formed sequence of `length` bytes.
char32_t CodePointOf(std::string_view sequence, size_t length) {
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t code = static_cast<unsigned char>(sequence[0]) & kLeadMask[length];
  for (size_t i = 1; i < length; ++i) {
    code = (code << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
  }
  return code;
}

// C1 controls, and the invisible characters that reorder or hide text
// (bidirectional embeddings, overrides, isolates and marks, zero-width
// characters, the byte-order mark): "invoice_<U+202E>fdp.exe" would read as
// "invoice_exe.pdf".
bool IsShownEscaped(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x061C || (code >= 0x200B && code <= 0x200F) ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

void AppendCodePoint(std::string& out, char32_t code) {
  out += "\\u";
  AppendHex(out, static_cast<unsigned char>(code >> 8));
  AppendHex(out, static_cast<unsigned char>(code & 0xFF));
}

std::string Printable(std::string_view text, bool keep_line_feeds) {
  std::string shown;
  shown.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = WellFormedLength(text.substr(at));
    const bool c0_or_del = length == 1 && (lead < 0x20 || lead == 0x7F);
    if (length == 0 || (c0_or_del && !(keep_line_feeds && lead == '\n'))) {
      shown += "\\x";
      AppendHex(shown, lead);
      ++at;
      continue;
    }
    if (const char32_t code = CodePointOf(text.substr(at), length); IsShownEscaped(code)) {
      AppendCodePoint(shown, code);
    } else {
      shown.append(text.substr(at, length));
    }
    at += length;
  }
  return shown;
}

}  // namespace

std::string PrintableText(std::string_view text) { return Printable(text, true); }

std::string PrintableLine(std::string_view text) { return Printable(text, false); }

}  // namespace brenvik
