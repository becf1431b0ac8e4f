// The Qt face: the application object, the prompt and folder picker of the
// desktop, and the wizard framed by start-up.

#include "qt/qt_face.h"

#include <QApplication>
#include <memory>

#include "qt/dialog_furniture.h"
#include "qt/qt_folder_picker.h"
#include "qt/qt_prompt.h"
#include "qt/qt_wizard.h"
#include "session/session.h"

namespace brenvik {

int RunQtFace(int argc, char** argv, const SessionConfig& config) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(kProgramName));
  QApplication::setWindowIcon(AppIcon());

  QtPrompt prompt;
  QtFolderPicker picker;
  return RunWindowWizard(config, prompt, picker, [&](Session& session, TransferCallback& callback) {
    return RunQtWizard(session, callback, prompt);
  });
}

}  // namespace brenvik
