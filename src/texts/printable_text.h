#pragma once
// Text that came from outside the program (the catalogue, the server, a file
// on disk, a typed path) made safe to write to a terminal: nothing in it can
// become a terminal command, and whatever would have been one is shown.
//
// Valid UTF-8 passes unchanged, except:
//   - a C0 control character (U+0000 to U+001F) or DEL (U+007F) is shown as
//     "\xHH" with two upper-case hex digits, so ESC reads "\x1B";
//   - a C1 control character (U+0080 to U+009F), which some terminals obey
//     as ESC + a letter, is shown as "\uHHHH", so CSI reads "\u009B";
//   - an invisible character that reorders or hides the text around it
//     (U+061C, U+200B to U+200F, U+202A to U+202E, U+2066 to U+2069,
//     U+FEFF) is shown as "\uHHHH" too, so a right-to-left override reads
//     "\u202E" and "invoice_<U+202E>fdp.exe" cannot pass for a PDF;
//   - a byte that does not belong to a valid UTF-8 sequence (a stray
//     continuation byte, a cut sequence, an overlong form, a surrogate,
//     beyond U+10FFFF) is shown as "\xHH": an 8-bit terminal would read some
//     of them as C1 controls.
// The result holds only printable ASCII and valid UTF-8 without controls
// or those invisible characters (and line feeds where kept), and showing it again changes nothing.
//
// Threads: any; pure functions.

#include <string>
#include <string_view>

namespace brenvik {

// For a text of several lines: line feeds are kept, every other control is
// shown.
std::string PrintableText(std::string_view text);

// For a text that must stay on one line (a row, a title): line feeds are
// shown too.
std::string PrintableLine(std::string_view text);

}  // namespace brenvik
