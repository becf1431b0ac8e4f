#pragma once
// The run engine: everything the progress step does apart from drawing.
// It fills the job table from the catalogue, stores the folder in the
// settings file, starts the download workers (as many as the configuration
// allows downloads at once) and then the verification worker, and on each tick (every 500 ms,
// inside Poll) reports the elapsed time, the row to keep in view, the verified bytes and
// completion, and starts Install.exe when the run is complete and that was asked for.
//
// Start first takes the download folder for this run (platform/folder_lock.h)
// and creates it when missing. When another run holds it, the user is told,
// nothing in the folder or the settings file is touched, and the first tick
// reports the run aborted (without the continue-later message).
//
// A run is complete when no row is left unfinished, an empty table
// included. A catalogue that cannot be loaded again when the table is filled
// ends the run at once: the status line says so and the abort flag is set,
// so the first tick reports the run aborted. With a publisher key in the
// configuration the catalogue is not read again: the run takes the one the
// setup step loaded from the bytes whose signature it checked.
//
// Install.exe is started on a thread of the engine's own, so the face's
// thread never waits for it: the installer row reads "Starting installer..."
// until a later tick sees the start return, and only then is the run
// finished.
//
// The run driver (run/run_driver.h) drives it for every face and test:
// Start, then Poll as often as it likes (a tick happens inside every
// 500 ms, and at once when the last row finishes), answering the question
// a snapshot may carry, and the abort wait.
//
// Threads: every member function is for the face's thread. The workers run
// on their own std::jthreads; a question they ask waits in the engine's
// question queue until the face answers it, and a request they make (end
// the run, end the program) shows in the next snapshot. The destructor
// stops and joins every worker and the installer's start, so nothing they
// use goes away under them on any way out.

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/catalogue.h"
#include "config/session_config.h"
#include "platform/folder_lock.h"
#include "run/download_crew.h"
#include "run/job_table.h"
#include "run/question_queue.h"
#include "run/run_context.h"
#include "run/server_pool.h"
#include "run/statistics.h"

namespace brenvik {

class ConnectionHub;
class DownloadService;
class FreeSpace;
class InstallerLauncher;
class Prompt;
class Settings;
struct RunFlags;

struct RunServices {
  // The catalogue the setup step loaded, handed over by value: the run
  // keeps it with a publisher key, and loads FileList.txt again otherwise.
  Catalogue catalogue;
  Settings& settings;
  RunFlags& flags;
  Prompt& prompt;
  FreeSpace& free_space;
  InstallerLauncher& launcher;
  // The server, the two files' places, the support contact, the pauses,
  // the number of downloads at once.
  const SessionConfig& config;
  // The setup step's download service, taken over by the first download
  // worker, so the connection the catalogue came through is one of the
  // run's and the run never holds more than its number of connections.
  // Null: every worker opens its own.
  DownloadService* first_service = nullptr;
  // The connections the workers' services share (the first service's
  // among them). Null: the run makes its own.
  ConnectionHub* hub = nullptr;
  // The mirrors Mirrors.txt listed (base URLs), tried after the
  // configuration's server and its mirrors.
  std::vector<std::string> mirrors;
};

// The steady clock as a RunClock (run/run_context.h).
RunClock SteadyRunClock();

// What a tick asks the face to show.
struct TickReport {
  int64_t elapsed_seconds = 0;  // since Start
  int follow_row = -1;          // the first unfinished row, to keep in view
  uint64_t verified_bytes = 0;
  uint64_t total_bytes = 0;
  bool finished = false;            // every row done: "All Done." is in the status line
  bool installer_starting = false;  // every row done, the installer row's start under way
  bool aborted = false;             // the abort flag was seen: show the face's Quit, then
                                    // ShowContinueLaterMessage()
  bool quit_button = false;         // the Cancel button now reads "Quit"
  bool keep_ticking = true;         // false: no tick follows
};

// What one poll returns.
struct RunSnapshot {
  // Set when this poll was a tick; nothing new to show otherwise.
  std::optional<TickReport> tick;
  // A worker's question waiting for the face's answer (RunEngine::Answer).
  std::optional<Question> question;
  // What a worker asked of the face: end the run as Cancel does, or end
  // the program at once.
  RunRequest request = RunRequest::kNone;
};

class RunEngine {
 public:
  RunEngine(RunServices services, std::string download_folder, bool install_after_download,
            RunClock clock = SteadyRunClock());
  ~RunEngine();
  RunEngine(const RunEngine&) = delete;
  RunEngine& operator=(const RunEngine&) = delete;

  // Fills the table, stores the folder, starts the workers and takes the
  // clock's now as the run start.
  void Start();

  // Looks at the run: a tick when one is due, the pending question and
  // request.
  RunSnapshot Poll();
  // A tick now, whatever the time (the last one after the abort wait).
  TickReport Tick();
  // Waits until the last row finishes (a change Poll has not seen yet) or
  // the timeout passes: a face that looks on a timer waits here instead of
  // sleeping, so the end shows at once.
  void WaitForEnd(std::chrono::milliseconds timeout) const {
    table_.WaitUntilAllFinished(seen_states_, timeout);
  }
  // Answers the question of that id.
  void Answer(uint64_t question_id, PromptAnswer answer);

  // The message shown once after a tick saw the abort flag, when the face
  // has turned Cancel into Quit.
  void ShowContinueLaterMessage();

  // The abort wait: sets the abort flag, declines any question, and returns
  // only when every worker has stopped, calling `keep_alive` every few
  // milliseconds meanwhile so the face can repaint.
  void WaitForWorkers(const std::function<void()>& keep_alive);

  // For the run driver and the tests; a face reads only the driver's views.
  JobTable& table() { return table_; }
  const JobTable& table() const { return table_; }
  // The catalogue this run works through (empty when it could not be loaded).
  const Catalogue& catalogue() const { return services_.catalogue; }
  std::string LocationLine() const;
  bool InstallAfterDownload() const { return install_; }
  uint64_t TotalBytes() const;
  // True when every file was verified and, when asked, the installer started.
  bool Succeeded() const { return succeeded_; }
  bool Finished() const { return finished_; }
  bool WorkersRunning() const;

  // The first row whose state is below Verified, or -1.
  static int FirstUnfinishedRow(const JobTable& table);

 private:
  // Takes the download folder for this run; false (the user told, the
  // run aborted) when another run holds it.
  bool LockFolder();
  // False when the catalogue could not be loaded.
  bool FillJobTable();
  // Starts Install.exe on its own thread the first time; true once that
  // start has returned, when the installer row is given its outcome. True
  // at once, without a start, when Install.exe is no verified row of this run.
  bool InstallerStartReturned();
  // True when Install.exe is a row of this run's catalogue and verified.
  bool InstallerVerified() const;
  void StopWorkers();
  // Once a server carries many transfers on one connection, starts the
  // workers beyond the number of connections, up to the hub's most.
  void WidenWhenMultiplexing();

  RunServices services_;
  std::unique_ptr<ConnectionHub> own_hub_;  // when the services bring none
  ConnectionHub* hub_;
  bool widened_ = false;
  std::string download_folder_;
  FolderLock folder_lock_;  // held from Start to the engine's end
  bool folder_in_use_ = false;
  bool install_;
  JobTable table_;
  ProgressStatistics statistics_;
  std::unique_ptr<ServerPool> servers_;
  std::optional<RunContext> context_;
  std::unique_ptr<DownloadCrew> crew_;
  RunClock clock_;
  QuestionQueue questions_;
  std::atomic<RunRequest> pending_request_{RunRequest::kNone};
  std::chrono::milliseconds run_start_{0};
  std::chrono::milliseconds next_tick_{0};
  uint64_t seen_states_ = UINT64_MAX;
  bool filled_ = false;
  bool installer_launched_ = false;
  std::atomic<bool> installer_returned_{false};
  std::atomic<bool> installer_started_{false};
  std::string installer_failure_;  // written before installer_returned_ is set
  bool finished_ = false;
  bool aborted_ = false;
  bool succeeded_ = false;
  // Declared last: destroyed (stopped and joined) first.
  std::jthread installer_thread_;
  std::vector<std::jthread> download_workers_;
  std::jthread verification_worker_;
};

}  // namespace brenvik
