#pragma once
// Text inside the program is UTF-8; paths meet the operating system in its
// own form (bytes on POSIX, UTF-16 on Windows). A std::string handed to
// std::filesystem::path as it is would be read in the Windows code page, so
// every conversion between the two goes through these.
//
// Thread safety: plain functions; any thread.

#include <filesystem>
#include <string>
#include <string_view>

namespace brenvik {

// The path named by the UTF-8 text `utf8`.
inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The UTF-8 text of `path`.
inline std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace brenvik
