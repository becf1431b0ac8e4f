#include "platform/state_folder.h"

#include <cerrno>
#include <random>
#include <string>

#include "platform/contained_files.h"

namespace brenvik {

bool CanCreateFilesIn(const std::filesystem::path& folder) {
  const ContainedFolder place = ContainedFolder::Open(folder, false);
  if (!place.Ok()) return false;
  std::random_device entropy;
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::string name = ".brenvik-write-test-" + std::to_string(entropy());
    ContainedFile probe = place.CreateNewFile(name);
    if (!probe.Ok() && probe.Error().number == EEXIST) continue;
    if (!probe.Ok()) return false;
    probe.Close();
    (void)place.Remove(name);
    return true;
  }
  return false;
}

}  // namespace brenvik
