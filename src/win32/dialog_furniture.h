#pragma once
// The furniture both wizard pages share: a modal page made from a dialog
// template, the application icon, the "&About Brenvik..." entry in the
// system menu (and F1) that opens the About box, the tooltips, and small
// helpers that carry UTF-8 text to the controls.
//
// Threads: the window thread only.

#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "texts/window_texts.h"

namespace brenvik {

class Prompt;

// A modal page made from a dialog template of the program's resources.
// Its messages go to OnMessage once WM_INITDIALOG has arrived.
class DialogPage {
 public:
  // What RunModal returns when the dialog could not be made.
  static constexpr INT_PTR kNotOpened = -1;

  DialogPage() = default;
  virtual ~DialogPage() = default;
  DialogPage(const DialogPage&) = delete;
  DialogPage& operator=(const DialogPage&) = delete;

  // The page's window while it is open, nullptr otherwise.
  HWND Window() const { return window_; }
  // Told the page's window once it is initialised (before it is first
  // shown), and nullptr when it is gone.
  void SetOpenHook(std::function<void(HWND)> hook) { open_hook_ = std::move(hook); }
  // Gives the page's window menu "Limit download speed…", which calls
  // `ask` with the page's window. Set before the page opens.
  void SetSpeedLimitAsker(std::function<void(HWND)> ask) { speed_limit_asker_ = std::move(ask); }

 protected:
  // Runs the template modally over `owner` (nullptr: a window of its own)
  // and returns what the page ended with (EndDialog), or kNotOpened.
  INT_PTR RunModal(int template_id, HWND owner = nullptr);
  // False: the dialog manager's default handling. `result` is what the
  // dialog procedure returns for a handled message.
  virtual bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) = 0;

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HWND window_ = nullptr;
  std::function<void(HWND)> open_hook_;
  std::function<void(HWND)> speed_limit_asker_;
};

// The application icon at the system's size for big (caption, Alt-Tab) or
// small (title bar, taskbar) icons; loaded once and kept for the process.
HICON AppIcon(bool big);

// At a page's initialisation: the big and small icons, and the About entry
// after a separator at the bottom of the system menu.
void AddPageFurniture(HWND page);

// The furniture's messages: the About entry of the system menu and F1 open
// the About box; a minimized page paints the icon; the drag icon is the
// application icon. True when the message was one of them.
bool HandleFurniture(HWND page, UINT message, WPARAM wparam, INT_PTR& result);

struct Tooltip {
  int control_id;
  const char* text;
};

// Gives each control of `page` its tooltip and returns the tooltip window.
// When the tooltip window cannot be made, or a control is missing, shows
// "Couldn't create tooltip!" (OK button) and returns nullptr: the page goes
// on without tooltips.
HWND AddTooltips(HWND page, std::initializer_list<Tooltip> tools, Prompt& prompt);

// Places `page` in the middle of the work area of the monitor it is on.
void CentreOnScreen(HWND page);

// On WM_DPICHANGED: moves and sizes `page` to the place the system suggests
// for the new DPI (`lparam` of the message).
void TakeSuggestedPlace(HWND page, LPARAM lparam);

std::string WindowText(HWND window);
// Sets the text only when it differs, so a control redrawn every poll does
// not flicker.
void SetText(HWND window, std::string_view utf8);
void SetItemText(HWND page, int id, std::string_view utf8);
void EnableItem(HWND page, int id, bool enabled);

// Dispatches every message waiting for this thread's windows, so they
// repaint and answer while the thread is busy. A quit request found there
// is posted again for the loop that owns it.
void PumpMessages();

}  // namespace brenvik
