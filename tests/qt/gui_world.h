#pragma once
// What the Qt page tests share: a release on a real HTTP server, fresh
// folders, scripted seams (prompt, picker, free space, installer), the
// process objects and singletons of one program run, and a session over
// all of it. Also a helper that answers real message boxes, and a script of
// steps run on the GUI thread while a page runs modally.

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "session/session.h"
#include "session/startup.h"
#include "setup/setup_flow.h"
#include "support/http_server.h"
#include "support/release_fixture.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace brenvik::test {

class ScriptedPicker final : public FolderPicker {
 public:
  std::optional<std::string> PickFolder(const std::string& title) override;

  std::deque<std::optional<std::string>> picks;  // nullopt: the user cancelled
  std::vector<std::string> titles;
};

class GuiWorld {
 public:
  GuiWorld();

  // The build's defaults pointed at this world: the test server, the
  // folders below, short pauses.
  SessionConfig Config() const;
  Session& MakeSession() { return MakeSession(Config()); }
  Session& MakeSession(SessionConfig config);

  // The default download folder of this world (ends with '/').
  std::string DefaultFolder() const { return home.Folder() + "Downloads/PellixInstall/"; }
  // Writes the release's catalogue where a run reads it (the setup step's
  // fetch does that in a whole program).
  void WriteCatalogue() { work.Write("FileList.txt", release.CatalogueText()); }

  HttpServer server;
  Release release;
  TempDir work;
  TempDir home;
  TempDir downloads;
  ScriptedPrompt prompt;
  FakeFreeSpace free_space;
  ScriptedPicker picker;
  FakeLauncher launcher;
  ProcessObjects process;
  Settings settings;
  Catalogue catalogue;
  std::unique_ptr<Session> session;
};

// Answers every message box that comes up (on the GUI thread, polled every
// 10 ms) with the next scripted button, or `fallback` when the script is
// used up, and records what each box showed.
class MessageBoxAnswerer final : public QObject {
 public:
  struct Seen {
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon;
  };

  explicit MessageBoxAnswerer(std::vector<QMessageBox::StandardButton> answers = {},
                              QMessageBox::StandardButton fallback = QMessageBox::Cancel);

  const std::vector<Seen>& Boxes() const { return seen_; }
  QStringList Texts() const;

 private:
  void Poll();

  std::deque<QMessageBox::StandardButton> answers_;
  QMessageBox::StandardButton fallback_;
  std::vector<Seen> seen_;
  QTimer timer_;
};

// Steps run one after another on the GUI thread (every 10 ms the current
// step is tried; it returns true when done), so a test can act inside a
// modal page's own event loop. After `limit_ms` every visible dialog is
// ended and TimedOut() turns true.
class UiScript final : public QObject {
 public:
  explicit UiScript(int limit_ms = 60000);

  UiScript& Then(std::function<bool()> step);
  bool Finished() const { return steps_.empty(); }
  bool TimedOut() const { return timed_out_; }

 private:
  void Poll();

  std::deque<std::function<bool()>> steps_;
  QTimer limit_;
  bool timed_out_ = false;
};

// Every 10 ms, for as long as it lives, calls `sample` (on the GUI thread,
// so also inside nested event loops).
class Sampler final : public QObject {
 public:
  explicit Sampler(std::function<void()> sample, int interval_ms = 10);

 private:
  std::function<void()> sample_;
  QTimer timer_;
};

// The first visible top-level widget of type T, or nullptr.
template <typename T>
T* VisibleWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* found = qobject_cast<T*>(widget); found != nullptr && found->isVisible()) {
      return found;
    }
  }
  return nullptr;
}

}  // namespace brenvik::test
