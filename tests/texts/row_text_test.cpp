#include "texts/row_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace brenvik {
namespace {

// Every status a row can have and its text, byte for byte as the run has
// always shown it.
TEST(RowTextTest, EachStatusHasItsFixedText) {
  const std::vector<std::pair<RowStatus, std::string>> cases = {
      {{RowPhase::kNone}, ""},
      {{RowPhase::kPending}, "Pending Download / Checksum"},
      {RowStatus::Downloading(0), "0 % downloaded"},
      {RowStatus::Downloading(100), "100 % downloaded"},
      {{RowPhase::kDownloaded}, "Downloaded OK"},
      {RowStatus::Checksumming(57), "Checksumming 57 %"},
      {{RowPhase::kChecksumOk}, "Checksum OK"},
      {{RowPhase::kChecksumFailed}, "Checksum Failed!"},
      {RowStatus::AttemptFailed(3, 11, "HTTP status 404"),
       "Retrying: attempt 3 of 11 failed (HTTP status 404)"},
      // A reason is text, never a format: '%' in it stays as it is.
      {RowStatus::AttemptFailed(1, 11, "50% %s"), "Retrying: attempt 1 of 11 failed (50% %s)"},
      {RowStatus::RetryWaiting(120, 2, 11, "HTTP status 503"),
       "Retrying in 120 s: attempt 2 of 11 failed (HTTP status 503)"},
      {RowStatus::LocalFailure("cannot create \"/x/a.part\": No space left on device"),
       "Failed: cannot create \"/x/a.part\": No space left on device"},
      {{RowPhase::kInstallPending}, "Pending Install"},
      {{RowPhase::kInstallerStarting}, "Starting installer..."},
      {{RowPhase::kInstallerStarted}, "Installer started OK!"},
      {{RowPhase::kInstallerFailed}, "Installer Failed!"},
  };
  for (const auto& [status, text] : cases) EXPECT_EQ(RowText(status), text);
}

}  // namespace
}  // namespace brenvik
