#pragma once
// One run of the program, assembled from its configuration: the setup flow with
// its services, and the run engine that Next hands over to. Both faces
// build a Session and draw what it does; neither reimplements any of it.
//
// Threads: the face's thread only (the workers are the run engine's).

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "config/session_config.h"
#include "run/run_engine.h"
#include "setup/setup_flow.h"
#include "transfer/download_service.h"

namespace brenvik {

// The seams come with the run engine's and the setup flow's headers.
struct ProcessObjects;

class Session {
 public:
  Session(SessionConfig config, ProcessObjects& process, Settings& settings, Catalogue& catalogue,
          Prompt& prompt, FolderPicker& picker, FreeSpace& free_space, InstallerLauncher& launcher);

  SetupFlow& Setup() { return setup_; }
  // Initialises the setup flow and applies the command line's install choice.
  void InitialiseSetup();
  // A run engine for what Next handed over (not yet started).
  std::unique_ptr<RunEngine> MakeRun(const Handover& handover);
  const SessionConfig& Config() const { return config_; }

  // The speed limit of every download of the session, in bytes per second
  // (0: none).
  uint64_t SpeedLimit() { return connections_.Limit().Rate(); }
  // Takes a limit as the window asks for it (see ParseRate): applies it at
  // once, also to the downloads running, and keeps it for later runs.
  // False, with nothing changed, for text that is no limit.
  [[nodiscard]] bool SetSpeedLimit(std::string_view text);

 private:
  SessionConfig config_;
  ProcessObjects& process_;
  Settings& settings_;
  Catalogue& catalogue_;
  Prompt& prompt_;
  FreeSpace& free_space_;
  InstallerLauncher& launcher_;
  // The connections of the session: the catalogue's transfers and then the
  // run's go through them.
  ConnectionHub connections_;
  DownloadService catalogue_download_;  // the face thread's own transfers
  DownloadService side_download_;       // the list of mirrors, while the catalogue comes
  SetupFlow setup_;
};

// Runs a window face's wizard with the system's own seams (free space, the
// installer start): makes the process-wide objects and both singletons, a
// session whose setup step is initialised, and hands it with the transfer
// callback to `run_wizard`, whose result is the program's exit status.
int RunWindowWizard(const SessionConfig& config, Prompt& prompt, FolderPicker& picker,
                    const std::function<int(Session&, TransferCallback&)>& run_wizard);

}  // namespace brenvik
