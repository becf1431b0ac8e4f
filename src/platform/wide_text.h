#pragma once
// Windows only. Text is UTF-8 inside the program and UTF-16 at every Win32
// call; these convert between them. Wide and Utf8 turn a sequence that is
// not UTF-8 (or UTF-16) into U+FFFD rather than dropping it, so a hostile
// name still shows as something; StrictWide refuses it instead, for names
// that must reach the file system exactly as written.
//
// Threads: any; pure functions.

#include <windows.h>

#include <string>
#include <string_view>

namespace brenvik {

inline std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), units);
  return wide;
}

// False, leaving `wide` as it was, when `utf8` is not valid UTF-8.
inline bool StrictWide(std::string_view utf8, std::wstring& wide) {
  if (utf8.empty()) {
    wide.clear();
    return true;
  }
  const int size = static_cast<int>(utf8.size());
  const int units =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (units <= 0) return false;
  wide.assign(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), units);
  return true;
}

inline std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string utf8(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace brenvik
