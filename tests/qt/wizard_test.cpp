// Both pages as one wizard, driven by clicks alone: from the setup page's
// fetch through Next and a whole run to "All Done." and "Quit".

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/options.h"
#include "catalogue/settings.h"
#include "qt/gui_world.h"
#include "qt/progress_page.h"
#include "qt/qt_wizard.h"
#include "qt/setup_page.h"

namespace brenvik::test {

class WizardTest : public QObject {
  Q_OBJECT

 private slots:
  void ClicksAloneDownloadTheReleaseAndStartTheInstaller() {
    GuiWorld world;
    world.release.Add("Install.exe", RandomBytes(40 * 1024, 1));
    world.release.Add("Data/a.cab", RandomBytes(500 * 1024, 2));
    world.release.Publish();
    Session& session = world.MakeSession();
    session.InitialiseSetup();

    bool saw_progress_page = false;
    QString final_status;
    UiScript script;
    script
        .Then([] {
          SetupPage* setup = VisibleWindow<SetupPage>();
          if (setup == nullptr || !setup->NextButton()->isEnabled()) return false;
          QTest::mouseClick(setup->NextButton(), Qt::LeftButton);
          return true;
        })
        .Then([&] {
          ProgressPage* progress = VisibleWindow<ProgressPage>();
          if (progress == nullptr) return false;
          saw_progress_page = true;
          if (progress->CancelButton()->text() != "Quit") return false;
          final_status = progress->StatusLine()->text();
          QTest::mouseClick(progress->CancelButton(), Qt::LeftButton);
          return true;
        });
    const int status = RunQtWizard(session, world.process.transfer_callback, world.prompt);

    QVERIFY(!script.TimedOut());
    QVERIFY(saw_progress_page);
    QCOMPARE(final_status, QString("All Done."));
    QCOMPARE(status, kExitSuccess);
    const std::string folder = world.DefaultFolder();
    QCOMPARE(world.launcher.Started(), std::vector<std::string>{folder + "Install.exe"});
    QCOMPARE(world.settings.StoredFolder(), folder);
    QVERIFY(std::filesystem::exists(world.work.path() / "OrvBrenvik.ini"));
    QCOMPARE(world.server.Requests(world.release.PathOf("Data/a.cab")), 1);
    QVERIFY(VisibleWindow<QWidget>() == nullptr);
    QCOMPARE(world.prompt.Count(), size_t{0});
  }

  void CancelAfterGivingUpTheFetchEndsTheProgram() {
    GuiWorld world;  // nothing published
    world.prompt.Push(PromptAnswer::kCancel);
    Session& session = world.MakeSession();
    session.InitialiseSetup();
    UiScript script;
    script.Then([] {
      SetupPage* setup = VisibleWindow<SetupPage>();
      if (setup == nullptr || !setup->CancelButton()->isEnabled()) return false;
      QTest::mouseClick(setup->CancelButton(), Qt::LeftButton);
      return true;
    });
    const int status = RunQtWizard(session, world.process.transfer_callback, world.prompt);
    QVERIFY(!script.TimedOut());
    QCOMPARE(status, kExitCancelled);
    QCOMPARE(world.prompt.Count(), size_t{1});
    QVERIFY(!std::filesystem::exists(world.work.path() / "OrvBrenvik.ini"));
  }
};

}  // namespace brenvik::test

QTEST_MAIN(brenvik::test::WizardTest)
#include "wizard_test.moc"
