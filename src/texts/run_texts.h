#pragma once
// The fixed texts of the download run, shared by both faces.

namespace brenvik {

inline constexpr const char* kRunCaption = "Quellmoor Tessivane Brenvik Step 2 / 2";
inline constexpr const char* kRunIntro =
    "Please wait while the selected operations are performed. You may cancel at any time by "
    "clicking the [Cancel] button.";
inline constexpr const char* kLocationFormat =
    "Download-location is \"%s\"\nInstall after downloading: %s";
// The texts of a row (texts/row_text.h formats them).
inline constexpr const char* kPendingRowText = "Pending Download / Checksum";
inline constexpr const char* kDownloadingFormat = "%u %% downloaded";
inline constexpr const char* kDownloadedOk = "Downloaded OK";
inline constexpr const char* kChecksummingFormat = "Checksumming %u %%";
inline constexpr const char* kChecksumOk = "Checksum OK";
inline constexpr const char* kChecksumFailed = "Checksum Failed!";
// The same when the release comes from several servers: the one it came from.
inline constexpr const char* kChecksumFailedFromFormat = "Checksum Failed! (from %s)";
// A row whose server failed by itself while others are awake: why and
// which server, and that another takes the file.
inline constexpr const char* kOtherServerFormat = "Trying another server (%s)";
inline constexpr const char* kPendingInstallText = "Pending Install";
inline constexpr const char* kCatalogueErrorLine = "There was an error in FileList.txt";
// A second run into a folder another run is using.
inline constexpr const char* kFolderInUseLine = "The folder is in use by another Brenvik run";
inline constexpr const char* kFolderInUseFormat =
    "The folder \"%s\" is in use by another Brenvik run.\n\nNothing has been downloaded. Let "
    "that run finish, or start again with another folder.";
inline constexpr const char* kAllDone = "All Done.";
inline constexpr const char* kStartingInstaller = "Starting installer...";
inline constexpr const char* kInstallerStarted = "Installer started OK!";
inline constexpr const char* kInstallerFailed = "Installer Failed!";
// The same when the system said why.
inline constexpr const char* kInstallerFailedFormat = "Installer Failed! (%s)";
// The installer row when the catalogue has no Install.exe: a file of that
// name lying in the folder was checked by nobody, so it is not started.
inline constexpr const char* kInstallerNotInRelease = "Install.exe is not part of this release";
inline constexpr const char* kAborting = "Aborting, please wait...";
// The statistics line: kB done, kB in all, the rate in kB/s, the estimate.
inline constexpr const char* kStatisticsFormat = "%llu kB of %llu kB done, %u kB/s, EDT: %s";
// The same while a speed limit is set.
inline constexpr const char* kLimitedStatisticsFormat =
    "%llu kB of %llu kB done, %u kB/s (limit %u kB/s), EDT: %s";
inline constexpr const char* kCancelButton = "Cancel";
inline constexpr const char* kQuitButton = "Quit";
// The question after a file could not be downloaded: its URL, then the
// support contact.
inline constexpr const char* kDownloadFailureFormat =
    "Couldn't download \"%s\".\nPlease contact %s for assistance.";
// The terminal's line under the live area.
inline constexpr const char* kTerminalCancelHint = "Press Ctrl-C to cancel.";
inline constexpr const char* kContinueLaterMessage =
    "You might be able to continue downloading this CD at a later time,\nunless a newer CD has "
    "been released on the site. This program will\nalways try to download the newest CD from the "
    "site.";
inline constexpr const char* kInstallerName = "Install.exe";
inline constexpr const char* kFileColumnHeader = "File / Operation:";
inline constexpr const char* kStatusColumnHeader = "Status:";
inline constexpr const char* kProgressTooltip = "This window shows the overall progress";
inline constexpr const char* kTableTooltip =
    "This window shows what is happening at any given time";
inline constexpr const char* kCancelTooltip = "Click here to abort / quit this program";

// A row after a failed attempt: the number of failures in a row, the most
// before the user is asked, and why this one failed.
inline constexpr const char* kRetryingFormat = "Retrying: attempt %d of %d failed (%s)";
// The same while the row waits the time the server asked for, in seconds,
// before its next attempt.
inline constexpr const char* kRetryingInFormat = "Retrying in %u s: attempt %d of %d failed (%s)";
// The reason under the "Couldn't download" question once a file fetched
// this many times failed its check each time.
inline constexpr const char* kCheckFailedReasonFormat =
    "the file arrived %d times but did not match the catalogue";
// A row whose download failed for a cause on this computer, or for one
// that trying again cannot mend.
inline constexpr const char* kLocalFailureRowFormat = "Failed: %s";
// The question after a download failed for a cause on this computer.
inline constexpr const char* kLocalFailureFormat =
    "Couldn't save the download on this computer:\n%s\nClick RETRY to try again, or CANCEL to "
    "stop.";

}  // namespace brenvik
