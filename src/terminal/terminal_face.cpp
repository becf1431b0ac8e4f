// The terminal face: the setup step and the download run on the terminal,
// driven as the window drives them: the catalogue fetch, Next, then the
// run driver (run/run_driver.h) looks at the run every 20 ms until the run
// finishes, is aborted, or a worker asks to end it.
//
// Ctrl-C is Cancel, and so are SIGTERM, Ctrl-Break and closing the Windows
// console, so a terminal is never left with its scrolling region set and a
// run always ends by the continue-later path: the handler only sets a flag.
// On the setup step the transfer callback's idle hook turns it into the
// abort flag, which stops the catalogue fetch; on the run the loop sees it
// and runs the abort wait.
// While the flag is set every question answers itself with Cancel (or OK).

#include "terminal/terminal_face.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include "platform/console_io.h"
#include "platform/free_space.h"
#include "platform/installer.h"
#include "platform/output_queue.h"
#include "run/run_driver.h"
#include "run/run_engine.h"
#include "session/exit_status.h"
#include "session/session.h"
#include "session/startup.h"
#include "terminal/console.h"
#include "terminal/progress_console.h"
#include "terminal/setup_console.h"
#include "terminal/terminal_prompt.h"
#include "texts/run_texts.h"

namespace brenvik {

namespace {

constexpr std::chrono::milliseconds kLoopPause{20};
// How long the end of the program waits for queued output after Ctrl-C.
constexpr std::chrono::milliseconds kOutputGrace{500};
// A run that took longer ends with the terminal's bell.
constexpr std::chrono::minutes kBellAfter{1};

// Set by the interrupt handler (platform/console_io.h), so it must be
// lock-free.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

int DriveRun(RunEngine& run, Console& console, TerminalPrompt& prompt) {
  const auto started = std::chrono::steady_clock::now();
  ProgressConsole progress(console,
                           console.OutputIsTerminal() ? ProgressMode::kLive : ProgressMode::kLines);
  RunDriver driver(run, prompt, progress);
  driver.WatchChanges(progress.Begin(driver.LocationLine()));
  driver.Start();
  while (!driver.Closed()) {
    if (interrupted.load()) {
      driver.Cancel();
    } else {
      driver.Poll();
      // A run that is over ends as Quit does, through the abort wait.
      if (driver.Over()) driver.Cancel();
    }
    if (driver.Closed()) break;
    progress.Refresh();
    driver.WaitForEnd(kLoopPause);
  }
  progress.End();
  driver.WatchChanges({});
  // A run long enough for the user to turn away rings the terminal's bell
  // when it ends, however it ended; a pipe or a file gets no bell.
  if (console.OutputIsTerminal() && std::chrono::steady_clock::now() - started > kBellAfter) {
    console.PrintTerminalCommands("\a");
  }
  return driver.Succeeded() ? kExitSuccess : kExitCancelled;
}

int RunWizard(const SessionConfig& config, Console& console, TerminalPrompt& prompt,
              ProcessObjects& process, Settings& settings, Catalogue& catalogue) {
  SystemFreeSpace free_space;
  SystemInstallerLauncher launcher;
  TerminalFolderPicker picker(prompt);
  Session session(config, process, settings, catalogue, prompt, picker, free_space, launcher);

  std::optional<Handover> handover;
  {
    // The catalogue fetch blocks this thread; its progress reports are where
    // Ctrl-C is noticed.
    process.transfer_callback.SetIdleHook([&process] {
      if (interrupted.load()) process.flags.abort.store(true);
    });
    SetupConsole setup(session.Setup(), console, prompt, picker,
                       SetupChoices{.ask_folder = !config.folder, .install = config.install},
                       interrupted);
    setup.Begin();
    session.InitialiseSetup();
    handover = setup.Run();
    process.transfer_callback.SetIdleHook({});
  }
  if (!handover) return kExitCancelled;

  const std::unique_ptr<RunEngine> run = session.MakeRun(*handover);
  return DriveRun(*run, console, prompt);
}

}  // namespace

int RunTerminalFace(const SessionConfig& config) {
  interrupted.store(false);
  const InterruptCatcher interrupt_as_cancel(interrupted);
  Console console(ConsoleStreams{}, &interrupted);
  if (!config.notice.empty()) console.Print(config.notice + "\n\n");
  if (!config.files_moved.line.empty()) console.Print(config.files_moved.line + "\n");

  // --yes, or nobody at the keyboard: nothing is asked.
  TerminalPrompt prompt(console, config.unattended || !console.InputIsTerminal(), interrupted);
  ProcessObjects process;
  const int status = StartUp(prompt, [&](Settings& settings, Catalogue& catalogue) {
    return RunWizard(config, console, prompt, process, settings, catalogue);
  });
  // The last lines reach a slow reader before the program ends, unless
  // Ctrl-C says not to wait for one.
  (void)FlushQueuedText(interrupted, kOutputGrace);
  return status;
}

}  // namespace brenvik
