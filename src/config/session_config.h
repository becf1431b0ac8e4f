#pragma once
// What one session is configured with: the build's defaults with the
// command line's choices applied. The setup step, the run and both faces
// read their settings from here.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"

namespace brenvik {

// The publisher's signify public key built into this program
// (-DBRENVIK_PUBLISHER_KEY=...); empty: catalogues are not signature-checked.
inline constexpr const char* kBuiltInPublisherKey = BRENVIK_PUBLISHER_KEY;

struct SessionConfig {
  std::string base_url = BRENVIK_BASE_URL;  // ends with '/'
  // Other servers that hold the same version folders (--mirror), each
  // ending with '/': files come from them too, the catalogue never.
  std::vector<std::string> mirrors;
  // Given on the command line: proposed instead of the stored or default
  // folder, and not asked for.
  std::optional<std::string> folder;
  std::optional<bool> install;  // given on the command line
  bool unattended = false;      // nothing is asked: questions answer Cancel (or OK)
  std::string default_folder;   // ends with the separator
  std::filesystem::path catalogue_file = kCatalogueFileName;
  std::filesystem::path settings_file = kSettingsFileName;
  std::string support_contact = BRENVIK_SUPPORT_CONTACT;
  // The publisher's signify public key text. When set, the catalogue is
  // used only with a FileList.txt.sig beside it on the server that this key
  // verifies for its exact bytes, and the run takes the catalogue the setup
  // step verified instead of reading the file again. Empty: no check.
  std::string publisher_key;
  std::chrono::milliseconds pause{500};
  std::chrono::seconds stall_timeout{60};
  // Downloads at once, each on its own connection (1 to 16).
  int connections = 4;
  // Bytes per second for all downloads together; 0: no limit.
  uint64_t max_rate = 0;
  // Where a limit set in a window is kept for later runs; empty: not kept.
  std::filesystem::path speed_limit_file;
  // A line a face shows before anything else (the demo says where it serves
  // its release from); empty: none.
  std::string notice;
  // When the working directory could not take FileList.txt and
  // OrvBrenvik.ini and they are kept in the state folder instead: the line
  // that says so (empty otherwise). The terminal shows it at the start of
  // the run; a window face shows it in a message box when `new_place` says
  // the state folder had no settings file yet, so that it is said once.
  struct {
    std::string line;
    bool new_place = false;
  } files_moved;
};

}  // namespace brenvik
