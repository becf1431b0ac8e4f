// brenvik: downloads a game's installation CD file by file, checks every
// file and can start its installer. See UsageText() for the command line.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <variant>

#include "app/demo.h"
#include "app/options.h"
#include "terminal/terminal_face.h"
#ifdef BRENVIK_HAVE_GUI
#include "qt/qt_face.h"
#endif

namespace brenvik {

namespace {

// True when a graphical display is available to this process.
bool HasDisplay() {
  // An explicit Qt platform (offscreen, say) needs no display server.
  if (const char* platform = std::getenv("QT_QPA_PLATFORM"); platform && *platform) return true;
  namespace fs = std::filesystem;
  std::error_code ec;
  if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const fs::path socket =
        wayland[0] == '/' || !runtime ? fs::path(wayland) : fs::path(runtime) / wayland;
    if (fs::exists(socket, ec)) return true;
  }
  if (const char* x11 = std::getenv("DISPLAY"); x11 && *x11) {
    // A local display ":N" must have its socket; otherwise the window could
    // not open and the terminal is the better face. A remote "host:N" is
    // taken on trust.
    const std::string display = x11;
    if (display[0] != ':') return true;
    const std::string number = display.substr(1, display.find('.') - 1);
    return fs::exists("/tmp/.X11-unix/X" + number, ec);
  }
  return false;
}

// Runs the face the options and the machine call for.
int RunFace(int argc, char** argv, const Options& options, std::string notice = {}) {
  SessionConfig config = ConfigFromOptions(options);
  config.notice = std::move(notice);
#ifdef BRENVIK_HAVE_GUI
  // --yes promises a script that nothing will wait for a person; a window
  // always would, so --yes runs in the terminal, display or not.
  if (!options.text && !options.yes && HasDisplay()) return RunQtFace(argc, argv, config);
#else
  (void)argc;
  (void)argv;
#endif
  return RunTerminalFace(config);
}

}  // namespace

}  // namespace brenvik

int main(int argc, char** argv) {
  using namespace brenvik;
  const auto parsed = ParseOptions(argc, argv);
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "brenvik: %s\n%s", error->message.c_str(), UsageText().c_str());
    return kExitUsage;
  }
  const Options& options = std::get<Options>(parsed);
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitSuccess;
  }
  if (options.version) {
    std::fputs(VersionText().c_str(), stdout);
    return kExitSuccess;
  }
  if (!options.demo) return RunFace(argc, argv, options);
  // The demo's server runs for as long as the face does.
  DemoRelease demo;
  if (!demo.Start()) {
    std::fprintf(stderr, "brenvik: the demo cannot start: %s\n", demo.Error().c_str());
    return kExitCancelled;
  }
  return RunFace(argc, argv, ApplyDemo(options, demo),
                 "Demo: a sample release is served from " + demo.BaseUrl());
}
