#include <dlfcn.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "app/qt_face_loader.h"
#include "qt/qt_face_module.h"

namespace brenvik {

namespace {

namespace fs = std::filesystem;

// Where the module may be, in the order tried: beside the program, then
// the folder the install puts it in, relative to the program's own.
std::vector<fs::path> ModuleCandidates() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (error) return {};
  const fs::path folder = program.parent_path();
  return {
      folder / BRENVIK_QT_FACE_MODULE_NAME,
      (folder / BRENVIK_QT_FACE_MODULE_FROM_BIN / BRENVIK_QT_FACE_MODULE_NAME).lexically_normal()};
}

}  // namespace

std::optional<int> RunQtFaceModule(int argc, char** argv, const SessionConfig& config,
                                   std::string& why) {
  why = "the window face " BRENVIK_QT_FACE_MODULE_NAME " is not installed";
  for (const fs::path& candidate : ModuleCandidates()) {
    std::error_code error;
    if (!fs::is_regular_file(candidate, error)) continue;
    // Kept loaded until the program ends: the toolkit registers exit
    // handlers of its own.
    void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (module == nullptr) {
      const char* reason = dlerror();
      why = "the window face cannot be loaded: " + std::string(reason ? reason : "unknown");
      return std::nullopt;
    }
    const auto entry = reinterpret_cast<QtFaceEntry>(dlsym(module, kQtFaceEntryName));
    if (entry == nullptr) {
      why = "the window face " + candidate.string() + " has no entry point";
      return std::nullopt;
    }
    return entry(argc, argv, &config);
  }
  return std::nullopt;
}

}  // namespace brenvik
