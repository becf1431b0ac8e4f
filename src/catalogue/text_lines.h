#pragma once
// Line-by-line reading shared by the program's two text files (FileList.txt
// and the settings file): a line ends at '\n', a '\r' directly before the
// '\n' is not part of it, the last line needs no terminator, and lines have
// no length limit. Nothing else is removed or trimmed.
//
// Thread safety: plain functions over the caller's data; any thread.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/stdio_file.h"

namespace brenvik {

// Takes the next line off the front of `rest`. Returns false when `rest` is
// exhausted (so "a\n" holds one line, "" none, and "\n" one empty line).
[[nodiscard]] inline bool NextLine(std::string_view& rest, std::string_view& line) {
  if (rest.empty()) return false;
  const void* newline = std::memchr(rest.data(), '\n', rest.size());
  if (newline == nullptr) {
    line = rest;
    rest = {};
    return true;
  }
  const auto length = static_cast<size_t>(static_cast<const char*>(newline) - rest.data());
  line = rest.substr(0, length);
  rest.remove_prefix(length + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return true;
}

// Lines of length 0 and lines whose first character is '#' carry nothing.
inline bool IsSkippedLine(std::string_view line) { return line.empty() || line.front() == '#'; }

// Reads the whole of `file` as bytes into `text`, or stops once `text`
// holds more than `limit` bytes (so a longer file shows as one past the
// limit without being read whole). False when it cannot be opened or a read
// fails part way (a directory, an I/O error); `text` is then unspecified.
[[nodiscard]] inline bool ReadWholeFile(const std::filesystem::path& file, std::string& text,
                                        size_t limit = SIZE_MAX) {
  const StdioFile in = OpenStdioFile(file, "rb");
  if (!in) return false;
  text.clear();
  char buffer[64 * 1024];
  while (text.size() <= limit) {
    const size_t got = std::fread(buffer, 1, sizeof buffer, in.get());
    text.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  return std::ferror(in.get()) == 0;
}

}  // namespace brenvik
