#include "terminal/setup_console.h"

#include <cctype>
#include <filesystem>

#include "platform/paths.h"
#include "platform/prompt.h"
#include "platform/utf8_path.h"
#include "terminal/console.h"
#include "terminal/terminal_prompt.h"
#include "texts/setup_texts.h"

namespace brenvik {

namespace {

std::string Trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string LowerWord(const std::string& text) {
  std::string word = Trimmed(text);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return word;
}

}  // namespace

std::string TypedFolder(const std::string& typed) {
  std::string path = Trimmed(typed);
  if (path.empty()) return path;
  if (path[0] == '~' && (path.size() == 1 || path[1] == '/' || path[1] == kSeparator)) {
    if (const std::string home = HomeFolder(); !home.empty()) path = home + path.substr(1);
  }
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(PathFromUtf8(path), ec);
  if (ec) return path;
  return Utf8Of(absolute.lexically_normal());
}

std::optional<std::string> TerminalFolderPicker::PickFolder(const std::string& title) {
  if (preset_) {
    std::optional<std::string> folder = std::move(preset_);
    preset_.reset();
    return folder;
  }
  const std::optional<std::string> typed =
      prompt_.AskLine("\n" + title + "\nFolder (empty to cancel): ", "");
  if (!typed) return std::nullopt;
  const std::string folder = TypedFolder(*typed);
  if (folder.empty()) return std::nullopt;
  return folder;
}

SetupConsole::SetupConsole(SetupFlow& flow, Console& console, TerminalPrompt& prompt,
                           TerminalFolderPicker& picker, SetupChoices choices,
                           const std::atomic<bool>& interrupted)
    : flow_(flow),
      console_(console),
      prompt_(prompt),
      picker_(picker),
      choices_(choices),
      interrupted_(interrupted) {}

SetupConsole::~SetupConsole() { flow_.SetChangeListener({}); }

void SetupConsole::Begin() {
  console_.Print(std::string(kSetupCaption) + "\n" + kSetupHeading + "\n\n");
  ShowInfoText();
  flow_.SetChangeListener([this] { ShowInfoText(); });
}

void SetupConsole::ShowInfoText() {
  const SetupState& state = flow_.State();
  std::string text = state.info_text;
  if (state.release) {
    // The window's instruction names its folder button and Next.
    text = Format(kTerminalReleaseFormat, state.release->version.c_str(),
                  static_cast<unsigned long long>(state.release->size_mb));
    if (!state.mirrors_line.empty()) text += "\n" + state.mirrors_line;
    if (choices_.ask_folder && !prompt_.Automatic())
      text += std::string("\n\n") + kTerminalFolderHint;
  }
  if (text == shown_info_text_) return;
  shown_info_text_ = text;
  console_.Print(text + "\n");
}

std::optional<Handover> SetupConsole::Run() {
  if (interrupted_.load()) return std::nullopt;
  const FetchOutcome outcome = flow_.FetchCatalogue();
  if (interrupted_.load() || outcome != FetchOutcome::kReady) return std::nullopt;
  console_.Print("\n");

  for (;;) {
    if (!SettleFolder()) return std::nullopt;
    const SetupState& state = flow_.State();
    // A typed answer already stands after its question.
    if (!SettleInstall()) {
      console_.Print(std::string(kInstallBoxText) + ": " +
                     (state.install_enabled && state.install_checked ? "Yes" : "No") + "\n");
    }
    if (state.next_enabled && !state.location.empty()) {
      if (std::optional<Handover> handover = flow_.Next()) return handover;
    }
    // Refused: another folder can only come from the user.
    if (interrupted_.load() || !choices_.ask_folder || prompt_.Automatic()) return std::nullopt;
  }
}

bool SetupConsole::SettleFolder() {
  for (;;) {
    console_.Print(std::string(kLocationGroup) + ": " + flow_.State().location + "\n");
    if (!choices_.ask_folder || prompt_.Automatic()) return !interrupted_.load();
    const std::optional<std::string> typed =
        prompt_.AskLine(std::string("Press Enter to keep it, or type a folder (\"") +
                            kInstallFolderName + "\" goes inside): ",
                        "");
    if (interrupted_.load()) return false;
    if (!typed) return true;
    const std::string folder = TypedFolder(*typed);
    if (folder.empty()) return true;
    picker_.Preset(folder);
    flow_.Browse();
    picker_.Preset(std::nullopt);
  }
}

bool SetupConsole::SettleInstall() {
  // Choosing a folder ticks the box again, so the command line's choice is
  // applied after the folder is settled.
  if (choices_.install) {
    flow_.SetInstallChecked(*choices_.install);
    return false;
  }
  while (!prompt_.Automatic()) {
    const bool checked = flow_.State().install_checked;
    const std::optional<std::string> answer =
        prompt_.AskLine(std::string(kInstallBoxText) + (checked ? "? [Y/n] " : "? [y/N] "), "");
    if (!answer) return false;
    const std::string word = LowerWord(*answer);
    if (word.empty()) return true;
    if (word == "y" || word == "yes") {
      flow_.SetInstallChecked(true);
      return true;
    }
    if (word == "n" || word == "no") {
      flow_.SetInstallChecked(false);
      return true;
    }
  }
  return false;
}

}  // namespace brenvik
