#pragma once
// The setup step without its widgets: fetch the catalogue (with Retry),
// check its signature when the configuration names a publisher key, load it, show version and size,
// check the scratch space, propose the stored or default folder, browse for another, and accept
// Next. Both faces drive it and draw its SetupState.
//
// Threads: the face's thread only. The catalogue fetch blocks the caller;
// the transfer callback's idle hook (set by the face) keeps the face alive
// meanwhile.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "config/session_config.h"
#include "transfer/download_service.h"

namespace brenvik {

class FreeSpace;
class Prompt;
class Settings;
class TransferCallback;

// The folder picker seam: a folder chosen by the user, or nullopt when the
// user cancelled.
class FolderPicker {
 public:
  virtual ~FolderPicker() = default;
  virtual std::optional<std::string> PickFolder(const std::string& title) = 0;
};

// Moves one URL into a local file through the transfer callback.
using DownloadFunction = std::function<DownloadResult(
    const std::string& url, const DownloadTarget& target, TransferCallback& callback)>;
// The download function that fetches through `service` (which must outlive it).
inline DownloadFunction DownloadThrough(DownloadService& service) {
  return [&service](const std::string& url, const DownloadTarget& target,
                    TransferCallback& callback) { return service.Download(url, target, callback); };
}

struct SetupServices {
  Catalogue& catalogue;  // the loaded catalogue goes here
  // The run's abort flag: a malformed catalogue sets it once its message
  // was closed.
  std::atomic<bool>& abort;
  Settings& settings;
  TransferCallback& callback;
  Prompt& prompt;
  FreeSpace& free_space;
  FolderPicker& picker;
  DownloadFunction download;
  // Fetches on another thread while `download` fetches the catalogue: the
  // list of mirrors comes meanwhile. Empty: it comes after the catalogue.
  DownloadFunction side_download;
  // The server, the default and given folders, the two files' places.
  const SessionConfig& config;
  std::string temp_folder;  // the drive that needs the scratch space
};

// The release a loaded catalogue describes, for a face that words the info
// text its own way.
struct ReleaseSummary {
  std::string version;  // without "PellixInstall"
  uint64_t size_mb = 0;
};

// What the setup step shows.
struct SetupState {
  std::string info_text;
  std::optional<ReleaseSummary> release;  // once the catalogue is loaded
  // The release's other servers in use (from Mirrors.txt), as a line for
  // the terminal; empty when there are none. Why a list is not used is
  // asked with OK instead, once.
  std::string mirrors_line;
  std::string location;
  bool next_enabled = false;
  bool cancel_enabled = true;
  bool browse_enabled = true;
  bool install_enabled = true;
  bool install_checked = false;
};

enum class FetchOutcome {
  kReady,   // catalogue loaded and scratch space there: the user may go on
  kGaveUp,  // the user gave up the fetch: only Cancel is left
  kQuit,    // the catalogue is unreadable or the scratch space was refused: end the program
};

struct Handover {
  std::string folder;
  bool install = false;
};

class SetupFlow {
 public:
  explicit SetupFlow(SetupServices services);

  // Proposes the stored folder (or the default) and disables the buttons
  // until the catalogue is there.
  void Initialise();
  // Fetches and loads the catalogue; the face calls it 500 ms after showing.
  // With a publisher key, FileList.txt.sig is fetched from beside it and the
  // catalogue is loaded from the very bytes the signature was checked over;
  // a missing, unreadable, oversized (over kSignatureFileLimit, the transfer
  // stops there), foreign or invalid signature is a failed fetch: its
  // message names what failed and offers Retry and Cancel. A signature that
  // does not fit the catalogue first has both fetched once more. Both are
  // asked for past any cache; a missing catalogue's message names its URL.
  FetchOutcome FetchCatalogue();
  // Lets the user pick a folder; "PellixInstall" + separator is appended to
  // the pick once its drive has room for the release.
  void Browse();
  // Accepts the shown folder when its drive has room: creates the default
  // folder (and its parent) when that is the one shown. nullopt: refused,
  // nothing changed.
  std::optional<Handover> Next();

  void SetInstallChecked(bool checked) {
    state_.install_checked = checked;
    Changed();
  }
  const SetupState& State() const { return state_; }
  // The other servers Mirrors.txt listed (base URLs), for the run.
  const std::vector<std::string>& Mirrors() const { return mirrors_; }
  // The catalogue's version without "PellixInstall".
  std::string VersionText() const;
  // Called after every change of the state.
  void SetChangeListener(std::function<void()> listener) { listener_ = std::move(listener); }

 private:
  void SetFolder(std::string folder);
  // One attempt at fetching the catalogue; nullopt when it arrived, else the
  // message for the Retry/Cancel question (empty: aborted, nothing to ask).
  std::optional<std::string> FetchOnce(const std::string& url);
  // Fetches (and checks) the catalogue until what arrived looks like one,
  // asking Retry/Cancel after each failure; false when the user gave up.
  // `loaded` is what the last fetch parsed into.
  bool FetchUntilCatalogue(const std::string& url, CatalogueResult& loaded);
  // Fetches the signature beside `url` and checks the fetched catalogue
  // with it; nullopt when it is the publisher's (its bytes are then in
  // verified_catalogue_, which stays empty when the file cannot be read),
  // else the message as FetchOnce gives it.
  std::optional<std::string> CheckSignatureOnce(const std::string& url);
  // Loads the catalogue: the verified bytes with a key, the file without.
  CatalogueResult LoadFetchedCatalogue() const;
  void Changed() {
    if (listener_) listener_();
  }

  SetupServices services_;
  SetupState state_;
  std::optional<std::string> verified_catalogue_;
  std::vector<std::string> mirrors_;
  bool signature_mismatch_ = false;  // the last check found a signature not for the catalogue
  std::function<void()> listener_;
};

}  // namespace brenvik
