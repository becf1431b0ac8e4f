// The Qt face: the application object, the prompt and folder picker of the
// desktop, and the wizard framed by start-up.

#include "qt/qt_face.h"

#include <QApplication>
#include <memory>

#include "platform/free_space.h"
#include "platform/installer.h"
#include "qt/dialog_furniture.h"
#include "qt/qt_folder_picker.h"
#include "qt/qt_prompt.h"
#include "qt/qt_wizard.h"
#include "session/session.h"
#include "session/startup.h"

namespace brenvik {

int RunQtFace(int argc, char** argv, const SessionConfig& config) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(kProgramName));
  QApplication::setWindowIcon(AppIcon());

  QtPrompt prompt;
  QtFolderPicker picker;
  SystemFreeSpace free_space;
  SystemInstallerLauncher launcher;
  ProcessObjects process;
  return StartUp(prompt, [&](Settings& settings, Catalogue& catalogue) {
    Session session(config, process, settings, catalogue, prompt, picker, free_space, launcher);
    session.InitialiseSetup();
    return RunQtWizard(session, process.transfer_callback, prompt);
  });
}

}  // namespace brenvik
