#pragma once
// The built-in demo: a small sample release served from this machine, so
// the whole wizard can be watched without a network.
//
// Start writes the release into a fresh folder under the temporary folder
// (FileList.txt at its root, the files under <version>/), with fixed
// pseudo-random content, one file in a subfolder, one name with a space and
// an Install.exe that is a POSIX shell script printing one line; it signs
// FileList.txt with the demo's key (FileList.txt.sig beside it). It then
// serves the folder on 127.0.0.1, throttled to kDemoBytesPerSecond so the
// progress can be followed for a few seconds. The environment variable
// BRENVIK_DEMO_RATE overrides the rate in bytes per second (0: no limit;
// the tests use it). The run keeps its catalogue, signature and settings
// file in a folder of the demo's own beside the release, never in the
// working directory or the --from-menu folder, so the user's remembered
// folder and catalogue stay as they are. The destructor stops the server
// and removes the release folder with those files, so a demo leaves behind
// only its download folder.
//
// The demo is built on Linux only: its server needs an HTTP library the
// Windows build lacks. There RunDemo only says so.
//
// Threads: the face's thread; the server answers on its own threads.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/options.h"

namespace brenvik {

class ReleaseServer;

inline constexpr uint64_t kDemoBytesPerSecond = 2'500'000;
inline constexpr const char* kDemoRateVariable = "BRENVIK_DEMO_RATE";
inline constexpr const char* kDemoVersion = "1.1-demo";
inline constexpr const char* kDemoFolderName = "BrenvikDemo";
// The public half of the demo's key pair, which is published in demo.cpp and
// so protects nothing: the demo trusts it to show the signature check.
inline constexpr const char* kDemoPublicKey =
    "untrusted comment: Brenvik demo key (protects nothing) public key\n"
    "RWT9FwyhnwX94FFzyLUGn9OBQbVXIEfiDWb1SbaYmRbF5Zi+nBxhOg5/\n";
inline constexpr const char* kDemoInstallerLine =
    "Brenvik demo installer: the game would be installed from $(pwd) now.";

class DemoRelease {
 public:
  DemoRelease();
  ~DemoRelease();
  DemoRelease(const DemoRelease&) = delete;
  DemoRelease& operator=(const DemoRelease&) = delete;

  // Writes and serves the release; false (with Error()) when the folder
  // cannot be written or the server cannot start. Once only.
  [[nodiscard]] bool Start();
  // The base URL of the release ("http://127.0.0.1:PORT/"); empty before Start.
  std::string BaseUrl() const;
  // The demo's download folder: "<working directory>/BrenvikDemo/".
  std::string Folder() const;
  // Where the demo's run keeps FileList.txt and OrvBrenvik.ini; empty before Start.
  std::filesystem::path FilesFolder() const;
  const std::string& Error() const { return error_; }

 private:
  std::filesystem::path root_;
  std::unique_ptr<ReleaseServer> server_;
  std::string error_;
};

// `options` pointed at the demo: its server, its own folder for the working
// files, its download folder unless --folder gave one, and the demo's public
// key unless --publisher-key gave one.
Options ApplyDemo(const Options& options, const DemoRelease& demo);

// Runs a face with `options` and a notice line shown first; returns the
// program's exit status.
using FaceRunner = std::function<int(const Options& options, std::string notice)>;

// --demo: starts the demo release, runs the face on it and returns the
// face's exit status; when the demo cannot start, says why on standard
// error and returns kExitCancelled. A build without the demo says so on
// standard error and returns kExitUsage.
int RunDemo(const Options& options, const FaceRunner& run_face);

}  // namespace brenvik
