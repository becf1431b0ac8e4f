#include <cstdlib>

#include "platform/paths.h"
#include "platform/state_folder.h"
#include "platform/utf8_path.h"

namespace brenvik {

std::filesystem::path MenuStateFolder() {
  // XDG_STATE_HOME counts only when it is an absolute path; else the XDG default.
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr) {
    const std::filesystem::path folder = PathFromUtf8(state);
    if (folder.is_absolute()) return folder / "brenvik" / "";
  }
  return PathFromUtf8(HomeFolder()) / ".local" / "state" / "brenvik" / "";
}

}  // namespace brenvik
