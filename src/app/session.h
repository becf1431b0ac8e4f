#pragma once
// One run of the program, assembled from the options: the setup flow with
// its services, and the run controller that Next hands over to. Both faces
// build a Session and draw what it does; neither reimplements any of it.
//
// Threads: the face's thread only (the workers are the run controller's).

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/options.h"
#include "pages/run/run_controller.h"
#include "pages/setup/setup_flow.h"
#include "transfer/download_service.h"

namespace brenvik {

class Catalogue;
class FreeSpace;
class InstallerLauncher;
class Prompt;
class Settings;
struct ProcessObjects;

struct SessionConfig {
  std::string base_url;                // ends with '/'
  std::optional<std::string> folder;   // given on the command line
  std::optional<bool> install;         // given on the command line
  std::string default_folder;          // ends with the separator
  std::filesystem::path catalogue_file = "FileList.txt";
  std::filesystem::path settings_file = "OrvBrenvik.ini";
  std::string support_contact = BRENVIK_SUPPORT_CONTACT;
  std::chrono::milliseconds pause{500};
  std::chrono::seconds stall_timeout{60};

  // The build's defaults with the command line's choices applied.
  static SessionConfig FromOptions(const Options& options);
};

class Session {
 public:
  Session(SessionConfig config, ProcessObjects& process, Settings& settings, Catalogue& catalogue,
          Prompt& prompt, FolderPicker& picker, FreeSpace& free_space,
          InstallerLauncher& launcher);

  SetupFlow& Setup() { return setup_; }
  // Initialises the setup flow and applies the command line's install choice.
  void InitialiseSetup();
  // A run controller for what Next handed over (not yet started).
  std::unique_ptr<RunController> MakeRun(const Handover& handover);
  const SessionConfig& Config() const { return config_; }

 private:
  SessionConfig config_;
  ProcessObjects& process_;
  Settings& settings_;
  Catalogue& catalogue_;
  Prompt& prompt_;
  FreeSpace& free_space_;
  InstallerLauncher& launcher_;
  DownloadService catalogue_download_;  // the face thread's own transfers
  SetupFlow setup_;
};

}  // namespace brenvik
