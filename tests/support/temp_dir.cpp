#include "support/temp_dir.h"

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace brenvik::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  // A random name, made with create_directory, which fails when the name is
  // taken: the same guarantee as mkdtemp, on every platform.
  std::random_device entropy;
  std::mt19937_64 generator(
      entropy() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const fs::path temp = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "brenvik-test-" << std::hex << generator();
    if (fs::create_directory(temp / name.str())) {
      path_ = temp / name.str();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder in " + temp.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Make everything writable again so tests that removed permissions clean up.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

std::string TempDir::Folder() const { return WithTrailingSeparator(Utf8Of(path_)); }

fs::path TempDir::Write(const std::string& relative, std::string_view content) const {
  const fs::path file = path_ / PathFromUtf8(relative);
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return file;
}

std::string TempDir::Read(const std::string& relative) const {
  return ReadBytes(path_ / PathFromUtf8(relative));
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ScopedWorkingDirectory::ScopedWorkingDirectory(const fs::path& dir)
    : previous_(fs::current_path()) {
  fs::current_path(dir);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>(generator() & 0xFF);
  return bytes;
}

}  // namespace brenvik::test
