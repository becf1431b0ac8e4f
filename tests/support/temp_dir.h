#pragma once
// A fresh temporary folder for one test, removed with everything in it at
// the end. Also offers a scope that makes it the working directory.

#include <filesystem>
#include <string>
#include <string_view>

namespace brenvik::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as a string that ends with the separator.
  std::string Folder() const;
  // Writes `content` to `relative` (creating parent folders) and returns its path.
  std::filesystem::path Write(const std::string& relative, std::string_view content) const;
  std::string Read(const std::string& relative) const;

 private:
  std::filesystem::path path_;
};

// Changes the working directory for the lifetime of the object.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::filesystem::path& dir);
  ~ScopedWorkingDirectory();

 private:
  std::filesystem::path previous_;
};

// The whole of `file`; empty when it cannot be read.
std::string ReadBytes(const std::filesystem::path& file);

// Bytes of `size` drawn from a fixed generator seeded with `seed`.
std::string RandomBytes(size_t size, unsigned seed);

}  // namespace brenvik::test
