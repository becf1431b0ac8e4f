// brenvik: downloads a game's installation CD file by file, checks every
// file and can start its installer. See UsageText() for the command line.

#include <cstdio>
#include <cstdlib>
#include <variant>

#include "app/faces.h"
#include "app/options.h"

namespace brenvik {

bool HasDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  return (x11 && *x11) || (wayland && *wayland) || (platform && *platform);
}

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
#ifdef BRENVIK_HAVE_GUI
  if (!options.text && HasDisplay()) return RunQtFace(argc, argv, options);
#endif
  return RunTerminalFace(options);
}
