// brenvik: downloads a game's installation CD file by file, checks every
// file and can start its installer. See UsageText() for the command line.

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/demo.h"
#include "app/options.h"
#include "platform/console_io.h"
#include "terminal/terminal_face.h"
#ifdef BRENVIK_HAVE_GUI
#include "app/qt_face_loader.h"
#endif
#ifdef BRENVIK_HAVE_WIN32_FACE
#include "win32/win32_face.h"
#endif

namespace brenvik {

namespace {

#ifdef BRENVIK_HAVE_GUI
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
#endif

// Whether the Windows window face runs: not with --text, nor with --yes,
// which promises a script that nothing will wait for a person (a window
// always would), nor for --help, --version or --demo (which the Windows
// build has not).
bool UsesWindow(const Options& options) {
#ifdef BRENVIK_HAVE_WIN32_FACE
  return !options.text && !options.yes && !options.help && !options.version && !options.demo;
#else
  (void)options;
  return false;
#endif
}

// Runs the face the options and the machine call for. `argc` and `argv` are
// the program's own, for the window's toolkit.
int RunFace(int argc, char** argv, const Options& options, std::string notice = {}) {
  SessionConfig config = ConfigFromOptions(options);
  config.notice = std::move(notice);
#ifdef BRENVIK_HAVE_GUI
  // --yes promises a script that nothing will wait for a person; a window
  // always would, so --yes runs in the terminal, display or not.
  if (!options.text && !options.yes && HasDisplay()) {
    std::string why;
    if (const std::optional<int> status = RunQtFaceModule(argc, argv, config, why)) return *status;
    WriteText(stderr, "brenvik: " + why + "; going on in the terminal\n");
  }
#else
  (void)argc;
  (void)argv;
#endif
#ifdef BRENVIK_HAVE_WIN32_FACE
  if (UsesWindow(options)) return RunWin32Face(config);
#endif
  return RunTerminalFace(config);
}

// Runs what the command line asks for, once standard input and output
// reach whatever console they can.
int RunParsed(int argc, char** argv, const Options& options) {
  if (options.help) {
    WriteText(stdout, UsageText());
    return kExitSuccess;
  }
  if (options.version) {
    WriteText(stdout, VersionText());
    return kExitSuccess;
  }
  if (!options.demo) return RunFace(argc, argv, options);
  return RunDemo(options, [argc, argv](const Options& demo_options, std::string notice) {
    return RunFace(argc, argv, demo_options, std::move(notice));
  });
}

int Run(int argc, char** argv) {
  // Parsed from UTF-8, whatever the system hands main.
  const std::vector<std::string> arguments = Utf8Arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  const auto parsed = ParseOptions(static_cast<int>(pointers.size()), pointers.data());
  const auto* options = std::get_if<Options>(&parsed);
  // The Windows program is one of the window subsystem: everything but the
  // window reaches the console it was started from, and --text gets a
  // console of its own when there is none.
  if (options == nullptr || !UsesWindow(*options)) {
    ConnectStandardStreams(options != nullptr && options->text);
  }
  // Names are shown as they are, in any script, on every console.
  const Utf8ConsoleOutput utf8_output;
  if (options == nullptr) {
    WriteText(stderr, "brenvik: " + std::get<UsageError>(parsed).message + "\n" + UsageText());
    return kExitUsage;
  }
  return RunParsed(argc, argv, *options);
}

}  // namespace

}  // namespace brenvik

int main(int argc, char** argv) { return brenvik::Run(argc, argv); }
