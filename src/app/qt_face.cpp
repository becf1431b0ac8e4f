// The Qt face: the application object, the prompt and folder picker of the
// desktop, the built-in demo release when asked for, and the wizard framed
// by start-up.

#include <QApplication>
#include <cstdio>
#include <memory>

#include "app/demo.h"
#include "app/dialog_furniture.h"
#include "app/faces.h"
#include "app/qt_folder_picker.h"
#include "app/qt_prompt.h"
#include "app/qt_wizard.h"
#include "app/session.h"
#include "app/startup.h"
#include "platform/free_space.h"
#include "platform/installer.h"

namespace brenvik {

int RunQtFace(int argc, char** argv, const Options& given) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(kProgramName));
  QApplication::setWindowIcon(AppIcon());

  Options options = given;
  std::string demo_error;
  const std::unique_ptr<DemoRelease> demo = StartDemoIfAsked(options, demo_error);
  if (options.demo && !demo) {
    std::fprintf(stderr, "brenvik: the demo cannot start: %s\n", demo_error.c_str());
    return kExitCancelled;
  }

  QtPrompt prompt;
  QtFolderPicker picker;
  SystemFreeSpace free_space;
  SystemInstallerLauncher launcher;
  ProcessObjects process;
  return StartUp(prompt, process.flags.abort, [&](Settings& settings, Catalogue& catalogue) {
    Session session(SessionConfig::FromOptions(options), process, settings, catalogue, prompt,
                    picker, free_space, launcher);
    session.InitialiseSetup();
    return RunQtWizard(session, process.transfer_callback, prompt);
  });
}

}  // namespace brenvik
