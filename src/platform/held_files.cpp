#include "platform/held_files.h"

#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace brenvik {

namespace {

std::mutex probe_mutex;
std::shared_ptr<const HeldFileProbe> probe;

}  // namespace

void SetHeldFileProbe(HeldFileProbe new_probe) {
  std::shared_ptr<const HeldFileProbe> next;
  if (new_probe) next = std::make_shared<const HeldFileProbe>(std::move(new_probe));
  const std::lock_guard lock(probe_mutex);
  probe = std::move(next);
}

namespace held_files {

bool ProbeHolds(std::string_view operation, std::string_view name) {
  std::shared_ptr<const HeldFileProbe> current;
  {
    const std::lock_guard lock(probe_mutex);
    current = probe;
  }
  return current != nullptr && (*current)(operation, name);
}

void SleepFor(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

}  // namespace held_files

}  // namespace brenvik
