#pragma once
// The window face on Windows: the two wizard pages as Win32 dialogs over
// the engine, message boxes for every question, the system's folder dialog.
//
// Driving it from a test program (the pages are ordinary dialogs):
//   - Build a Session with the seams the test wants (a scripted FolderPicker,
//     FreeSpace and InstallerLauncher, as the Qt tests' GuiWorld does) and a
//     Win32Prompt made on the thread that will run the wizard, so questions
//     come up as real message boxes. Run RunWin32Wizard on that thread (a
//     std::thread of the test's own); drive the windows from another.
//   - The page observer tells which page is open and its window. Both pages
//     are dialogs (class "#32770"); the setup page is titled
//     "Quellmoor Tessivane Brenvik Step 1 / 2", the progress page starts as
//     "... Step 2 / 2" and gets " - HH:MM:SS" appended by its ticks.
//   - Buttons: SendMessage(GetDlgItem(page, id), BM_CLICK, 0, 0) with the ids
//     of win32/resource_ids.h (IDOK is Next, IDCANCEL Cancel / Quit,
//     IDC_BROWSE_BUTTON, IDC_INSTALL_BOX). A disabled button ignores
//     BM_CLICK, as it ignores the mouse.
//   - Timers: the setup page fetches the catalogue on WM_TIMER with
//     IDT_SETUP_START (500 ms after it opens); the progress page polls the
//     run on WM_TIMER with IDT_PROGRESS_TICK (every 100 ms; the run ticks
//     every 500 ms inside). Posting one of these makes it happen now.
//   - Message boxes are "#32770" windows titled "Brenvik", owned by the page
//     in front; their text is the static control 0xFFFF, their buttons
//     IDOK, IDRETRY, IDCANCEL (BM_CLICK answers). The About box is titled
//     "About Brenvik"; WM_SYSCOMMAND with IDM_ABOUT_ENTRY or WM_HELP opens it.
//   - The list view IDC_JOB_TABLE holds the rows (LVM_GETITEMCOUNT,
//     LVM_GETITEMTEXTW across threads needs memory in the page's process,
//     which a test thread in the same process has).
// The resources (dialog templates, pictures) must be linked into the test
// program too: brenvik_win32_resources.
//
// Threads: one window thread per wizard; everything here runs on it.

#include <windows.h>

#include <functional>

#include "config/session_config.h"

namespace brenvik {

class Prompt;
class Session;
class TransferCallback;

enum class Win32Page { kSetup, kProgress };

// Told on the window thread when a page has opened (its window, before it
// is first shown) and when it has closed (nullptr).
using Win32PageObserver = std::function<void(Win32Page page, HWND window)>;

// Runs the whole wizard in windows and returns the program's exit status.
int RunWin32Face(const SessionConfig& config);

// The two pages as one wizard over `session` (initialised already; its
// setup flow fetches through `callback`): the setup page runs modally, and
// its Next runs the progress page modally over a fresh run engine, which is
// gone (its workers stopped and joined) before the setup page ends. Makes
// the common controls ready and COM for this thread. Returns kExitSuccess
// when every file was verified (and the installer started when asked),
// kExitCancelled otherwise, and kExitCancelled with a message box naming
// the cause when a page cannot be opened.
int RunWin32Wizard(Session& session, TransferCallback& callback, Prompt& prompt,
                   const Win32PageObserver& observer = {});

}  // namespace brenvik
