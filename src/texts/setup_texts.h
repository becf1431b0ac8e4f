#pragma once
// The fixed texts of the setup step, shared by both faces.

namespace brenvik {

inline constexpr const char* kSetupCaption = "Quellmoor Tessivane Brenvik Step 1 / 2";
inline constexpr const char* kSetupHeading = "Quellmoor Tessivane - download tool";
inline constexpr const char* kTryingToConnect = "Trying to connect to ";
inline constexpr const char* kDownloadingFileList =
    "Please wait, downloading filelist from server...";
inline constexpr const char* kFileListDownloadError =
    "Error downloading the filelist from server...";
inline constexpr const char* kFileListRetryMessage =
    "Could not download FileList.txt from the server.\nClick RETRY to try again, or CANCEL to "
    "quit.";
// The catalogue could not be stored in the working directory: the cause
// names the path, and the question says it is this computer's doing.
inline constexpr const char* kFileListSaveError =
    "Could not save FileList.txt on this computer:\n%s\nClick RETRY to try again, or CANCEL to "
    "quit.";
// The catalogue arrived, but the publisher's key does not vouch for it; %s
// names what failed. Nothing is fetched or started from such a catalogue.
inline constexpr const char* kFileListSignatureError =
    "FileList.txt is not signed by the publisher: %s.\nNothing has been downloaded or "
    "started.\nClick RETRY to try again, or CANCEL to quit.";
inline constexpr const char* kFileListSignatureInfo =
    "The filelist from the server is not signed by the publisher...";
// What arrived as FileList.txt is no catalogue; %s says what it is ("the
// server sent a web page"). Nothing is fetched or started from it.
inline constexpr const char* kFileListNotCatalogueError =
    "FileList.txt from the server is not a catalogue: %s.\nNothing has been downloaded or "
    "started.\nClick RETRY to try again, or CANCEL to quit.";
inline constexpr const char* kFileListNotCatalogueInfo =
    "The filelist from the server is not a catalogue...";
inline constexpr const char* kFileListReadError =
    "Error reading the newly downloaded filelist.\nPlease make sure you are running this program "
    "from\na folder where you have read/write access and try again.\nThe program will now quit.";
inline constexpr const char* kVersionFormat =
    "Version: %s\nSize: %llu MB\n\n\nClick folder to browse for a download location or click next "
    "to accept the suggested location.";
// The terminal's words for the loaded catalogue: it has no folder button
// and no Next, so it says what to do there instead.
inline constexpr const char* kTerminalReleaseFormat = "Version: %s\nSize: %llu MB";
// What became of Mirrors.txt, the other servers of the release: the
// servers used, or why none is (then every file comes from the chosen one).
inline constexpr const char* kMirrorsUsedFormat = "Files also come from: %s (besides %s).";
inline constexpr const char* kMirrorsNotFetchedFormat =
    "Mirrors.txt could not be downloaded (%s): every file comes from %s.";
inline constexpr const char* kMirrorsNotSignedFormat =
    "Mirrors.txt is not used (%s): every file comes from %s.";
inline constexpr const char* kMirrorLineIgnoredFormat = "Mirrors.txt, %s: left out.";
inline constexpr const char* kTerminalFolderHint =
    "Press Enter below to accept the suggested location, or type another folder.";
inline constexpr const char* kPickerTitle =
    "Select a folder to download the installation to:\nA folder called \"PellixInstall\" will be "
    "created there.";
inline constexpr const char* kInstallFolderName = "PellixInstall";
inline constexpr const char* kLocationGroup = "Download location";
inline constexpr const char* kOptionGroup = "Option";
inline constexpr const char* kInstallBoxText = "Install the game when download is completed";
inline constexpr const char* kNextButton = "Next >>";
inline constexpr const char* kMemoryError = "Memory error! Free up some memory and try again!";

inline constexpr const char* kBrowseTooltip = "Click here to select a download-location.";
inline constexpr const char* kLocationTooltip =
    "This window should contain the path which the cd will be downloaded to.";
inline constexpr const char* kInstallTooltip =
    "Select this to install the CD immediately after downloading it.";
inline constexpr const char* kNextTooltip = "Click here to start the download";
inline constexpr const char* kSetupCancelTooltip = "Click here to quit this program.";

// Said when the folder the program was started in cannot be written, with
// the folder the two working files are kept in instead.
inline constexpr const char* kFilesMovedFormat =
    "The folder Brenvik was started in cannot be written: FileList.txt and OrvBrenvik.ini are "
    "kept in \"%s\" instead.";

}  // namespace brenvik
