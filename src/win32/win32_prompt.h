#pragma once
// The prompt of the window face: every question is a MessageBoxW on the
// window thread, titled "Brenvik", with OK or Retry and Cancel, and the stop
// icon when asked for. The box is owned by the page in front, so the page
// waits for the answer.
//
// Threads: make it on the window thread. Ask may be called from any
// thread: on the window thread it shows the box at once; on another it
// sends the question to the window thread (a message to a window of the
// prompt's own) and blocks until the user has answered. The window thread
// must therefore keep dispatching messages whenever it waits for a thread
// that may ask (the progress page's abort wait does).

#include <windows.h>

#include "platform/prompt.h"

namespace brenvik {

class Win32Prompt final : public Prompt {
 public:
  Win32Prompt();
  ~Win32Prompt() override;
  Win32Prompt(const Win32Prompt&) = delete;
  Win32Prompt& operator=(const Win32Prompt&) = delete;

  PromptAnswer Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) override;

  // Shows the box on this thread, over the active window of this thread.
  static PromptAnswer AskHere(const std::string& text, PromptButtons buttons, PromptIcon icon);

 private:
  static LRESULT CALLBACK MessengerProcedure(HWND window, UINT message, WPARAM wparam,
                                             LPARAM lparam);

  DWORD window_thread_;
  HWND messenger_;  // a message-only window on the window thread
};

}  // namespace brenvik
