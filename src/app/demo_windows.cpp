#include "app/demo.h"
#include "platform/console_io.h"
#include "session/exit_status.h"

namespace brenvik {

int RunDemo(const Options&, const FaceRunner&) {
  WriteText(stderr,
            "brenvik: --demo: the built-in demo is not part of the Windows build (its sample "
            "server runs on Linux only); use --server with a real download server\n");
  return kExitUsage;
}

}  // namespace brenvik
