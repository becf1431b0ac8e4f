#pragma once
// What the window face's tests share: a release on a real HTTP server (on
// Windows, served by the Linux test host), fresh folders, scripted seams
// (free space, installer, a folder picker that is never used), the process
// objects and singletons of one program run, and a wizard run on a window
// thread of its own that the test's main thread drives through
// window_driver.h.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "config/session_config.h"
#include "session/session.h"
#include "session/startup.h"
#include "setup/setup_flow.h"
#include "support/http_server.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"

namespace brenvik::test {

// The tests never browse: a pick ends as a cancelled picker, counted.
class UnusedPicker final : public FolderPicker {
 public:
  std::optional<std::string> PickFolder(const std::string&) override {
    ++picks;
    return std::nullopt;
  }
  std::atomic<int> picks{0};
};

class WindowWorld {
 public:
  WindowWorld();

  // The build's defaults pointed at this world: the test server, the
  // download folder below, short pauses.
  SessionConfig Config() const;
  // The same with the install box cleared, as --no-install gives it.
  SessionConfig ConfigWithoutInstaller() const;
  // The download folder of this world (ends with the separator).
  std::string Folder() const { return downloads.Folder(); }
  // True when every file of the release is in the folder with its content.
  bool FolderHoldsRelease() const;

  // Writes the release's catalogue where a run reads it (the setup step's
  // fetch does that in a whole wizard).
  void WriteCatalogue() { work.Write("FileList.txt", release.CatalogueText()); }
  // Publishes a release of a small Readme.txt and Data/<cab_name> of
  // `cab_size` bytes that the server serves with `behaviour`; returns the
  // latter's path on the server.
  std::string PublishWithCab(const std::string& cab_name, size_t cab_size, Behaviour behaviour);
  // The process objects and singletons of a fresh program run, as the next
  // start of the program would have them (the working and download folders
  // stay).
  void RestartProgram() { program = std::make_unique<Program>(); }

  struct Program {
    ProcessObjects process;
    Settings settings;
    Catalogue catalogue;
  };

  HttpServer server;
  Release release;
  TempDir work;
  TempDir downloads;
  FakeFreeSpace free_space;
  UnusedPicker picker;
  FakeLauncher launcher;
  std::unique_ptr<Program> program = std::make_unique<Program>();
};

// The setup page once its catalogue is read and Next may be pressed, or
// nullptr when that did not happen within a minute.
HWND WaitForReadySetupPage();
// True once the progress page's status line reads "All Done." (a minute
// at most).
bool WaitForAllDone(HWND progress);

// Runs `body` over a fresh session of `world` on a window thread of its
// own, with the window face's real prompt, so every question is a message
// box. By default the body is the whole wizard (RunWin32Wizard). Whatever
// is still open when the object goes is cancelled (pages and boxes alike)
// until the body has ended.
class WizardRun {
 public:
  // Returns the program's exit status or a page's result.
  using Body = std::function<int(Session& session, Prompt& prompt, WindowWorld::Program& program)>;

  WizardRun(WindowWorld& world, SessionConfig config, Body body = RunWizard);
  explicit WizardRun(WindowWorld& world) : WizardRun(world, world.Config()) {}
  ~WizardRun();
  WizardRun(const WizardRun&) = delete;
  WizardRun& operator=(const WizardRun&) = delete;

  static int RunWizard(Session& session, Prompt& prompt, WindowWorld::Program& program);

  // What the body returned once it has ended within `limit`, nullopt when
  // it is still running.
  std::optional<int> Wait(std::chrono::milliseconds limit = std::chrono::seconds(120));
  bool Ended() const { return ended_.load(); }

 private:
  std::atomic<bool> ended_{false};
  std::atomic<int> status_{-1};
  std::jthread thread_;
};

}  // namespace brenvik::test
