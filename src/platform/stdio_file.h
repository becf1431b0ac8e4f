#pragma once
// A C stdio stream that closes itself at the end of its scope.

#include <cstdio>
#include <filesystem>
#include <memory>

namespace brenvik {

struct StdioFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using StdioFile = std::unique_ptr<std::FILE, StdioFileCloser>;

inline StdioFile OpenStdioFile(const std::filesystem::path& path, const char* mode) {
  return StdioFile(std::fopen(path.c_str(), mode));
}

}  // namespace brenvik
