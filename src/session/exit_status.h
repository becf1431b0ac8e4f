#pragma once
// The program's exit statuses, as every face reports them.

namespace brenvik {

inline constexpr int kExitSuccess =
    0;  // every file verified (and the installer started when asked)
inline constexpr int kExitCancelled = 1;  // cancelled or aborted
inline constexpr int kExitUsage = 2;      // the command line was wrong

}  // namespace brenvik
