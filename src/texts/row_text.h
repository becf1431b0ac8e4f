#pragma once
// What a job-table row says, as state, and the one place that turns that
// state into the row's status text. Writers (the workers, the statistics,
// the run engine) set the state; both faces format it here, so the
// texts are the same everywhere and nothing is ever parsed back.
//
// Thread safety: plain values and a pure function; any thread.

#include <cstdint>
#include <string>

namespace brenvik {

// The step a row is at; each has one fixed text (some with a number or a
// reason in it).
enum class RowPhase : uint8_t {
  kNone,            // just inserted: no text
  kPending,         // "Pending Download / Checksum"
  kDownloading,     // "<percent> % downloaded"
  kDownloaded,      // "Downloaded OK"
  kChecksumming,    // "Checksumming <percent> %"
  kChecksumOk,      // "Checksum OK"
  kChecksumFailed,  // "Checksum Failed!", or "Checksum Failed! (from <reason>)" naming the server
  kAttemptFailed,   // "Retrying: attempt <attempt> of <attempts> failed (<reason>)"
  kRetryWaiting,    // "Retrying in <seconds> s: attempt <attempt> of <attempts> failed (<reason>)"
  kLocalFailure,    // "Failed: <reason>"
  kOtherServer,     // "Trying another server (<reason>)": a server failed, another takes the row
  kInstallPending,  // "Pending Install"
  kInstallerStarting,      // "Starting installer..."
  kInstallerStarted,       // "Installer started OK!"
  kInstallerFailed,        // "Installer Failed!", or "Installer Failed! (<reason>)"
  kInstallerNotInRelease,  // "Install.exe is not part of this release"
};

struct RowStatus {
  RowPhase phase = RowPhase::kNone;
  uint32_t percent = 0;  // kDownloading, kChecksumming; kRetryWaiting: the wait in seconds
  int attempt = 0;       // kAttemptFailed, kRetryWaiting: failures in a row
  int attempts = 0;      // kAttemptFailed, kRetryWaiting: the most before the user is asked
  // kAttemptFailed, kRetryWaiting, kLocalFailure, kOtherServer, kInstallerFailed;
  // kChecksumFailed: the server the file came from, when there are several
  std::string reason;

  static RowStatus Downloading(uint32_t percent) { return {RowPhase::kDownloading, percent}; }
  static RowStatus Checksumming(uint32_t percent) { return {RowPhase::kChecksumming, percent}; }
  static RowStatus AttemptFailed(int attempt, int attempts, std::string reason) {
    return {RowPhase::kAttemptFailed, 0, attempt, attempts, std::move(reason)};
  }
  // A failed attempt whose server asked for a wait of `seconds` before the next.
  static RowStatus RetryWaiting(uint32_t seconds, int attempt, int attempts, std::string reason) {
    return {RowPhase::kRetryWaiting, seconds, attempt, attempts, std::move(reason)};
  }
  static RowStatus OtherServer(std::string reason) {
    return {RowPhase::kOtherServer, 0, 0, 0, std::move(reason)};
  }
  // Also a failure that trying again cannot mend: "Failed: <reason>".
  static RowStatus LocalFailure(std::string reason) {
    return {RowPhase::kLocalFailure, 0, 0, 0, std::move(reason)};
  }

  // True for the phases whose percentage changes with every block of a
  // download or a checksum.
  bool IsRunningPercentage() const {
    return phase == RowPhase::kDownloading || phase == RowPhase::kChecksumming;
  }
  bool operator==(const RowStatus&) const = default;
};

// The row's status text, byte for byte as the run shows it.
std::string RowText(const RowStatus& status);

}  // namespace brenvik
