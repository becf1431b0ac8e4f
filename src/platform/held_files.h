#pragma once
// Files that another program holds for a moment.
//
// On Windows a virus scanner, the search indexer or a sync client often
// opens a freshly written file to read it, without letting others delete or
// rename it meanwhile. Renaming the partial file into place, or removing a
// file, then fails with a sharing violation that is gone a moment later.
// ContainedFolder's renames and removals therefore try again a few times
// over about two seconds before they report such a failure, and the report
// says that another program holds the file. POSIX has no such failure.
//
// Thread safety: any thread. The probe is set by tests before the work
// starts and read by every attempt.

#include <chrono>
#include <functional>
#include <string_view>

namespace brenvik {

// The cause a held file's failure gives, after the operation and its path.
inline constexpr const char* kHeldFileCause = "another program holds the file";

// The pauses between the tries: eight tries over about two seconds.
inline constexpr std::chrono::milliseconds kHeldFilePauses[] = {
    std::chrono::milliseconds(20),  std::chrono::milliseconds(60),  std::chrono::milliseconds(120),
    std::chrono::milliseconds(200), std::chrono::milliseconds(300), std::chrono::milliseconds(500),
    std::chrono::milliseconds(800)};

// The seam tests use to play the other program: while one is set, it is
// asked before each try of a rename ("rename", with the old name) or a
// removal ("remove") below a contained folder; true fails that try as a
// held file does. An empty function ends it.
using HeldFileProbe = std::function<bool(std::string_view operation, std::string_view name)>;
void SetHeldFileProbe(HeldFileProbe probe);

namespace held_files {

// Whether the probe fails this try (false when none is set).
bool ProbeHolds(std::string_view operation, std::string_view name);

void SleepFor(std::chrono::milliseconds pause);

// Calls `attempt` until its outcome is not held or the pauses run out,
// sleeping between tries; returns the last outcome. `held` tells a held
// outcome from any other.
template <typename Outcome, typename Attempt>
Outcome RetryWhileHeld(const Attempt& attempt, bool (*held)(const Outcome&)) {
  for (const std::chrono::milliseconds pause : kHeldFilePauses) {
    Outcome outcome = attempt();
    if (!held(outcome)) return outcome;
    SleepFor(pause);
  }
  return attempt();
}

}  // namespace held_files

}  // namespace brenvik
