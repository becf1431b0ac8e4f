#pragma once
// The prompt of the Qt face: every question is a message box on the GUI
// thread, titled with the program's name, with OK or Retry and Cancel, and
// the stop icon when asked for.
//
// Threads: make it on the GUI thread. Ask may be called from any thread. On
// the GUI thread it shows the box at once; on another thread it has the GUI
// thread show it and blocks until the user has answered. The GUI thread must
// therefore keep processing events whenever it waits for a thread that may
// ask (the progress page's abort wait does).

#include <QObject>

#include "platform/prompt.h"

namespace brenvik {

class QtPrompt final : public Prompt {
 public:
  QtPrompt();

  PromptAnswer Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) override;

 private:
  PromptAnswer AskHere(const std::string& text, PromptButtons buttons, PromptIcon icon);

  QObject gui_thread_;  // lives on the thread that made the prompt
};

}  // namespace brenvik
