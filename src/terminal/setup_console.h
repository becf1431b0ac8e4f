#pragma once
// The setup step on the terminal. It prints the caption, the heading and
// every info text the setup flow shows ("Trying to connect to ...", the
// version and size), fetches the catalogue, then shows the proposed folder
// and the install choice and asks for each unless the command line gave it
// or questions are answered automatically, and presses Next.
//
// Typing a folder is the terminal's Browse: the flow checks its drive for
// room and appends "PellixInstall" exactly as for a folder picked in the
// window; Enter keeps the shown folder. A Next refused for want of space
// asks for another folder, or ends the program when there is no one to ask.
//
// Threads: the face's thread only (the flow's change listener prints on it).

#include <atomic>
#include <optional>
#include <string>

#include "setup/setup_flow.h"

namespace brenvik {

class Console;
class TerminalPrompt;

// The folder picker of the terminal: a typed path, empty to cancel. A
// relative path is taken from the working directory, and a leading "~"
// stands for $HOME.
class TerminalFolderPicker final : public FolderPicker {
 public:
  explicit TerminalFolderPicker(TerminalPrompt& prompt) : prompt_(prompt) {}

  // The next PickFolder returns `folder` without asking (nullopt: asks).
  void Preset(std::optional<std::string> folder) { preset_ = std::move(folder); }
  std::optional<std::string> PickFolder(const std::string& title) override;

 private:
  TerminalPrompt& prompt_;
  std::optional<std::string> preset_;
};

// A typed folder as an absolute path: "~" expanded to the home folder,
// relative paths taken from the working directory, "." and ".." resolved;
// empty stays empty. Text in and out is UTF-8.
std::string TypedFolder(const std::string& typed);

struct SetupChoices {
  bool ask_folder = true;       // false when --folder gave the folder
  std::optional<bool> install;  // --install / --no-install
};

class SetupConsole {
 public:
  SetupConsole(SetupFlow& flow, Console& console, TerminalPrompt& prompt,
               TerminalFolderPicker& picker, SetupChoices choices,
               const std::atomic<bool>& interrupted);
  ~SetupConsole();
  SetupConsole(const SetupConsole&) = delete;
  SetupConsole& operator=(const SetupConsole&) = delete;

  // Prints the caption, the heading and the info text, and from now on
  // every new info text. Call before the flow is initialised.
  void Begin();
  // The rest of the step, after the flow was initialised: the handover on
  // Next, or nullopt when the program ends here (the fetch was given up,
  // the catalogue was unreadable, a space check refused, or Ctrl-C).
  std::optional<Handover> Run();

 private:
  void ShowInfoText();
  // False when interrupted.
  bool SettleFolder();
  // True when the user answered the question (the answer stands after it).
  bool SettleInstall();

  SetupFlow& flow_;
  Console& console_;
  TerminalPrompt& prompt_;
  TerminalFolderPicker& picker_;
  SetupChoices choices_;
  const std::atomic<bool>& interrupted_;
  std::string shown_info_text_;
};

}  // namespace brenvik
