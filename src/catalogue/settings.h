#pragma once
// The settings file, "OrvBrenvik.ini" in the working directory: it remembers
// the download folder between runs so that a cancelled run can continue into
// the same folder.
//
// Format as written: "# OrvBrenvik.ini\n" then the folder and "\n". As read:
// empty lines, lines of blanks and lines starting with '#' are skipped; the
// first other line is the folder, taken whole, with the platform separator
// appended when it does not end with one.
//
// Thread safety: the face's thread only.

#include <filesystem>
#include <string>

namespace brenvik {

inline constexpr const char* kSettingsFileName = "OrvBrenvik.ini";

class Settings {
 public:
  virtual ~Settings() = default;

  // True when the file gave a folder; the stored folder is unchanged otherwise.
  [[nodiscard]] bool Load(const std::filesystem::path& file = kSettingsFileName);
  std::string StoredFolder() const { return stored_folder_; }
  // Stores the folder and creates each directory along it.
  void SetStoredFolder(std::string folder);
  // Writes the file atomically (a temporary file beside it, flushed to disk,
  // then renamed over it); false when it could not be written, leaving any
  // earlier file intact and no temporary file behind.
  [[nodiscard]] bool Save(const std::filesystem::path& file = kSettingsFileName) const;

 private:
  std::string stored_folder_;
};

}  // namespace brenvik
