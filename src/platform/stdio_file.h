#pragma once
// A C stdio stream that closes itself at the end of its scope.

#include <cstdio>
#include <filesystem>
#include <memory>
#ifdef _WIN32
#include <string>
#endif

namespace brenvik {

struct StdioFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using StdioFile = std::unique_ptr<std::FILE, StdioFileCloser>;

// Opens `path` with the fopen `mode` ("rb", "wb", ...). On Windows the path
// goes to the system as UTF-16, so any name opens, not only those the ANSI
// code page can spell.
inline StdioFile OpenStdioFile(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
  std::wstring wide_mode;
  for (const char* c = mode; *c != '\0'; ++c) wide_mode.push_back(static_cast<wchar_t>(*c));
  return StdioFile(::_wfopen(path.c_str(), wide_mode.c_str()));
#else
  return StdioFile(std::fopen(path.c_str(), mode));
#endif
}

}  // namespace brenvik
