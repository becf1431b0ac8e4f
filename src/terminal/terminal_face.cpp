// The terminal face: the setup step and the download run on the terminal,
// driven exactly as the window drives them: the catalogue fetch, Next, then
// a tick every 500 ms until the run finishes, is aborted, or a worker asks
// to end it.
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
#include <thread>

#include "platform/console_io.h"
#include "platform/free_space.h"
#include "platform/installer.h"
#include "platform/output_queue.h"
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

// Set by the interrupt handler (platform/console_io.h), so it must be
// lock-free.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Draws one tick; true when the run is over (finished or aborted).
bool ShowTick(RunEngine& run, ProgressConsole& progress, const TickReport& report) {
  progress.ShowTick(report);
  if (report.aborted) run.ShowContinueLaterMessage();
  return report.finished || report.aborted;
}

int DriveRun(std::unique_ptr<RunEngine>& run, Console& console, TerminalPrompt& prompt) {
  ProgressConsole progress(*run, console,
                           console.OutputIsTerminal() ? ProgressMode::kLive : ProgressMode::kLines);
  progress.Begin();
  run->Start();

  const auto keep_alive = [&progress] { progress.Refresh(); };
  const auto cancel = [&]() -> int {
    progress.ShowAborting();
    run->WaitForWorkers(keep_alive);
    // The window's abort wait lets its timer tick once more: the elapsed
    // time goes into the title and the continue-later message is shown.
    ShowTick(*run, progress, run->Tick(kAborting));
    progress.End();
    return kExitCancelled;
  };

  std::string title = kRunCaption;
  for (;;) {
    if (interrupted.load()) return cancel();
    const RunSnapshot snapshot = run->Poll(title);
    if (const std::optional<Question>& question = snapshot.question) {
      run->Answer(question->id, prompt.Ask(question->text, question->buttons, question->icon));
    }
    switch (snapshot.request) {
      case RunRequest::kClose:
        return cancel();
      case RunRequest::kQuit:
        // The program ends at once: no abort wait, the run's end stops the workers.
        progress.End();
        run.reset();
        return kExitCancelled;
      case RunRequest::kNone:
        break;
    }
    if (snapshot.tick) {
      title = snapshot.tick->title;
      if (ShowTick(*run, progress, *snapshot.tick)) {
        // After "All Done." the run ends as Quit does: the abort wait first.
        run->WaitForWorkers(keep_alive);
        progress.End();
        return snapshot.tick->finished && run->Succeeded() ? kExitSuccess : kExitCancelled;
      }
    }
    progress.Refresh();
    std::this_thread::sleep_for(kLoopPause);
  }
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

  std::unique_ptr<RunEngine> run = session.MakeRun(*handover);
  return DriveRun(run, console, prompt);
}

}  // namespace

int RunTerminalFace(const SessionConfig& config) {
  interrupted.store(false);
  const InterruptCatcher interrupt_as_cancel(interrupted);
  Console console(ConsoleStreams{}, &interrupted);
  if (!config.notice.empty()) console.Print(config.notice + "\n\n");

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
