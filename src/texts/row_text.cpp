#include "texts/row_text.h"

#include "platform/prompt.h"
#include "texts/run_texts.h"

namespace brenvik {

std::string RowText(const RowStatus& status) {
  switch (status.phase) {
    case RowPhase::kNone:
      break;
    case RowPhase::kPending:
      return kPendingRowText;
    case RowPhase::kDownloading:
      return Format(kDownloadingFormat, status.percent);
    case RowPhase::kDownloaded:
      return kDownloadedOk;
    case RowPhase::kChecksumming:
      return Format(kChecksummingFormat, status.percent);
    case RowPhase::kChecksumOk:
      return kChecksumOk;
    case RowPhase::kChecksumFailed:
      if (status.reason.empty()) return kChecksumFailed;
      return Format(kChecksumFailedFromFormat, status.reason.c_str());
    case RowPhase::kAttemptFailed:
      return Format(kRetryingFormat, status.attempt, status.attempts, status.reason.c_str());
    case RowPhase::kRetryWaiting:
      return Format(kRetryingInFormat, status.percent, status.attempt, status.attempts,
                    status.reason.c_str());
    case RowPhase::kLocalFailure:
      return Format(kLocalFailureRowFormat, status.reason.c_str());
    case RowPhase::kOtherServer:
      return Format(kOtherServerFormat, status.reason.c_str());
    case RowPhase::kInstallPending:
      return kPendingInstallText;
    case RowPhase::kInstallerStarting:
      return kStartingInstaller;
    case RowPhase::kInstallerStarted:
      return kInstallerStarted;
    case RowPhase::kInstallerFailed:
      if (status.reason.empty()) return kInstallerFailed;
      return Format(kInstallerFailedFormat, status.reason.c_str());
    case RowPhase::kInstallerNotInRelease:
      return kInstallerNotInRelease;
  }
  return {};
}

}  // namespace brenvik
