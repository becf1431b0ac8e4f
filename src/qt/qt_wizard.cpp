#include "qt/qt_wizard.h"

#include <memory>

#include "qt/dialog_furniture.h"
#include "qt/progress_page.h"
#include "qt/setup_page.h"
#include "run/run_engine.h"
#include "session/exit_status.h"
#include "session/session.h"

namespace brenvik {

int RunQtWizard(Session& session, TransferCallback& callback, Prompt& prompt) {
  bool succeeded = false;
  SetupPage setup(session.Setup(), callback, prompt, [&](const Handover& handover) {
    const std::unique_ptr<RunEngine> run = session.MakeRun(handover);
    int result = 0;
    {
      ProgressPage page(*run, prompt);
      AddSpeedLimitEntry(page, session, prompt);
      result = page.exec();
    }
    succeeded = run->Succeeded();
    return result;
  });
  AddSpeedLimitEntry(setup, session, prompt);
  setup.exec();
  return succeeded ? kExitSuccess : kExitCancelled;
}

}  // namespace brenvik
