#pragma once
// The run controller: everything the progress step does apart from drawing.
// It fills the job table from the catalogue, stores the folder in the
// settings file, starts the download worker and then the verification
// worker, and on each tick of the face's 500 ms timer reports the elapsed
// time, the row to keep in view, the verified bytes and completion, and
// starts Install.exe when the run is complete and that was asked for.
//
// A run is complete when no row is left unfinished, an empty table
// included. A catalogue that cannot be loaded again when the table is filled
// ends the run at once: the status line says so and the abort flag is set,
// so the first tick reports the run aborted.
//
// Install.exe is started on a thread of the controller's own, so the face's
// thread never waits for it: the installer row reads "Starting installer..."
// until a later tick sees the start return, and only then is the run
// finished.
//
// Threads: every member function is for the face's thread. The workers run
// on their own std::jthreads; requests they make of the face arrive through
// the callback given to SetRequestHandler, on the download worker's thread.
// The destructor stops and joins both workers and the installer's start, so
// nothing they use goes away under them on any way out.

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "run/job_table.h"
#include "run/run_context.h"
#include "run/statistics.h"

namespace brenvik {

class Catalogue;
class FreeSpace;
class InstallerLauncher;
class Prompt;
class Settings;
class TransferCallback;
struct RunFlags;

struct RunServices {
  Catalogue& catalogue;
  Settings& settings;
  RunFlags& flags;
  TransferCallback& callback;
  Prompt& prompt;
  FreeSpace& free_space;
  InstallerLauncher& launcher;
  std::string base_url;  // ends with '/'
  std::filesystem::path catalogue_file = "FileList.txt";
  std::filesystem::path settings_file = "OrvBrenvik.ini";
  std::string support_contact;
  std::chrono::milliseconds pause{500};
  std::chrono::seconds stall_timeout{60};
};

// What one tick asks the face to show.
struct TickReport {
  std::string title;    // the window title with the elapsed time
  int follow_row = -1;  // the first unfinished row, to keep in view
  uint64_t verified_bytes = 0;
  uint64_t total_bytes = 0;
  bool finished = false;            // every row done: "All Done." is in the status line
  bool installer_starting = false;  // every row done, the installer row's start under way
  bool aborted = false;             // the abort flag was seen: show the face's Quit, then
                                    // ShowContinueLaterMessage()
  bool quit_button = false;         // the Cancel button now reads "Quit"
  bool keep_ticking = true;         // false: the timer is not armed again
};

class RunController {
 public:
  RunController(RunServices services, std::string download_folder, bool install_after_download);
  ~RunController();
  RunController(const RunController&) = delete;
  RunController& operator=(const RunController&) = delete;

  // Called on the download worker's thread when it needs the face to end
  // the run (kClose) or the program (kQuit). Set before Start.
  void SetRequestHandler(std::function<void(RunRequest)> handler);

  // Fills the table, stores the folder, starts both workers and takes `now`
  // as the run start.
  void Start(std::time_t now);

  // One timer tick: `title` is the window's current title.
  TickReport Tick(std::time_t now, const std::string& title);

  // The message shown once after a tick saw the abort flag, when the face
  // has turned Cancel into Quit.
  void ShowContinueLaterMessage();

  // Sets the abort flag and returns only when both workers have stopped,
  // calling `keep_alive` every few milliseconds meanwhile so the face can
  // answer the workers' questions and repaint.
  void WaitForWorkers(const std::function<void()>& keep_alive);

  JobTable& table() { return table_; }
  const JobTable& table() const { return table_; }
  ProgressStatistics& statistics() { return statistics_; }
  std::string LocationLine() const;
  const std::string& DownloadFolder() const { return download_folder_; }
  bool InstallAfterDownload() const { return install_; }
  uint64_t TotalBytes() const;
  // The last request a worker made, kNone when none.
  RunRequest PendingRequest() const { return pending_request_.load(); }
  // True when every file was verified and, when asked, the installer started.
  bool Succeeded() const { return succeeded_; }
  bool Finished() const { return finished_; }
  bool WorkersRunning() const;

  // The first row whose state is below Verified, or -1.
  static int FirstUnfinishedRow(const JobTable& table);
  // `title` cut before its first " -" and " - HH:MM:SS" of `elapsed` appended
  // (hours beyond whole days).
  static std::string TitleWithElapsed(const std::string& title, std::time_t elapsed);

 private:
  // False when the catalogue could not be loaded.
  bool FillJobTable();
  // Starts Install.exe on its own thread the first time; true once that
  // start has returned, when the installer row is given its outcome.
  bool InstallerStartReturned();
  void StopWorkers();

  RunServices services_;
  std::string download_folder_;
  bool install_;
  JobTable table_;
  ProgressStatistics statistics_;
  std::optional<RunContext> context_;
  std::function<void(RunRequest)> request_handler_;
  std::atomic<RunRequest> pending_request_{RunRequest::kNone};
  std::time_t run_start_ = 0;
  bool filled_ = false;
  bool installer_launched_ = false;
  std::atomic<bool> installer_returned_{false};
  std::atomic<bool> installer_started_{false};
  bool finished_ = false;
  bool aborted_ = false;
  bool succeeded_ = false;
  // Declared last: destroyed (stopped and joined) first.
  std::jthread installer_thread_;
  std::jthread download_worker_;
  std::jthread verification_worker_;
};

}  // namespace brenvik
