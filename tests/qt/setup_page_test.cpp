// The setup page over the setup flow, against a real HTTP server, with
// scripted answers and a scripted folder picker.

#include "qt/setup_page.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "qt/dialog_furniture.h"
#include "qt/gui_world.h"
#include "transfer/disk_space.h"

namespace brenvik::test {

namespace {

struct Shown {
  QString info;
  bool next = false;
  bool cancel = false;
  bool browse = false;
};

Shown Snapshot(const SetupPage& page) {
  return {page.InfoText()->text(), page.NextButton()->isEnabled(), page.CancelButton()->isEnabled(),
          page.BrowseButton()->isEnabled()};
}

const QString kVersionText =
    "Version: 2.5\nSize: 3 MB\n\n\nClick folder to browse for a download location or click next "
    "to accept the suggested location.";

// Records the info text each time it is painted.
class PaintWatcher final : public QObject {
 public:
  explicit PaintWatcher(QLabel* label) : label_(label) { label->installEventFilter(this); }
  QStringList painted;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == label_ && event->type() == QEvent::Paint) painted << label_->text();
    return false;
  }

 private:
  QLabel* label_;
};

}  // namespace

class SetupPageTest : public QObject {
  Q_OBJECT

 private:
  // A page over a fresh world whose release is 3 MB and a bit.
  struct Fixture {
    Fixture() {
      world.release.Add("Data/a.cab", RandomBytes(3 * 1024 * 1024 + 5, 1));
      world.release.Add("Setup.ini", "[setup]\n");
    }
    SetupPage& Page() {
      Session& session = world.MakeSession();
      session.InitialiseSetup();
      page = std::make_unique<SetupPage>(session.Setup(), world.process.transfer_callback,
                                         world.prompt, [this](const Handover& handover) {
                                           handovers.push_back(handover);
                                           hidden_during_run = !page->isVisible();
                                           return run_result;
                                         });
      page->show();
      return *page;
    }
    bool Ready() { return page->NextButton()->isEnabled(); }

    GuiWorld world;
    std::unique_ptr<SetupPage> page;
    std::vector<Handover> handovers;
    int run_result = QDialog::Accepted;
    bool hidden_during_run = false;
  };

 private slots:
  void StatesBeforeDuringAndAfterTheFetch() {
    Fixture fixture;
    // A catalogue long enough to arrive in many small pieces.
    std::string catalogue = fixture.world.release.CatalogueText();
    for (int i = 0; i < 400; ++i) catalogue.insert(0, "# padding line of the catalogue\n");
    fixture.world.server.Serve("FileList.txt", catalogue);
    fixture.world.server.Misbehave("FileList.txt",
                                   Behaviour{.trickle = std::chrono::milliseconds(40)});
    SetupPage& page = fixture.Page();

    QCOMPARE(page.windowTitle(), QString("Quellmoor Tessivane Brenvik Step 1 / 2"));
    // Laid out by the template, in the page font's dialog units.
    const DialogUnits units(page.font());
    QCOMPARE(page.size(), units.Size(321, 183));
    QCOMPARE(page.NextButton()->geometry(), units.Rect(246, 162, 68, 14));
    QCOMPARE(page.LocationField()->geometry(), units.Rect(85, 92, 204, 13));
    QCOMPARE(page.InfoText()->text(),
             "Trying to connect to " + QString::fromStdString(fixture.world.release.BaseUrl()));
    QCOMPARE(page.LocationField()->text(), QString::fromStdString(fixture.world.DefaultFolder()));
    QVERIFY(page.LocationField()->isReadOnly());
    QVERIFY(!page.NextButton()->isEnabled());
    QVERIFY(!page.CancelButton()->isEnabled());
    QVERIFY(!page.BrowseButton()->isEnabled());
    QVERIFY(page.InstallBox()->isEnabled());
    QVERIFY(page.InstallBox()->isChecked());
    QVERIFY(page.NextButton()->isDefault());
    QCOMPARE(page.NextButton()->text(), QString("Next >>"));
    QCOMPARE(page.BrowseButton()->toolTip(), QString("Click here to select a download-location."));
    QCOMPARE(page.LocationField()->toolTip(),
             QString("This window should contain the path which the cd will be downloaded to."));
    QCOMPARE(page.InstallBox()->toolTip(),
             QString("Select this to install the CD immediately after downloading it."));
    QCOMPARE(page.NextButton()->toolTip(), QString("Click here to start the download"));
    QCOMPARE(page.CancelButton()->toolTip(), QString("Click here to quit this program."));

    // While the catalogue trickles in, the page keeps handling events: the
    // sampler runs, the info text repaints, and closing the window is
    // refused because Cancel is disabled.
    PaintWatcher paints(page.InfoText());
    std::vector<Shown> during;
    bool tried_to_close = false;
    Sampler sampler([&] {
      const Shown shown = Snapshot(page);
      if (shown.info != "Please wait, downloading filelist from server...") return;
      during.push_back(shown);
      if (!tried_to_close) {
        tried_to_close = true;
        page.close();
      }
    });
    QTRY_VERIFY_WITH_TIMEOUT(fixture.Ready(), 20000);

    QVERIFY2(during.size() >= 5, "the page was not responsive during the fetch");
    for (const Shown& shown : during) {
      QVERIFY(!shown.next && !shown.cancel && !shown.browse);
    }
    QVERIFY(paints.painted.contains("Please wait, downloading filelist from server..."));
    QVERIFY(page.isVisible());
    QCOMPARE(fixture.world.server.Requests("FileList.txt"), 1);

    const Shown after = Snapshot(page);
    QCOMPARE(after.info, kVersionText);
    QVERIFY(after.next && after.cancel && after.browse);
    QCOMPARE(fixture.world.prompt.Count(), size_t{0});
  }

  void FetchFailureRetryThenCancel() {
    Fixture fixture;  // nothing published: the catalogue is not found
    fixture.world.prompt.Push(PromptAnswer::kRetry);
    fixture.world.prompt.Push(PromptAnswer::kCancel);
    SetupPage& page = fixture.Page();

    QTRY_COMPARE_WITH_TIMEOUT(page.CancelButton()->isEnabled(), true, 20000);
    const std::string message =
        "Could not download FileList.txt from the server.\nClick RETRY to try again, or CANCEL to "
        "quit.\nHTTP status 404 for " +
        fixture.world.server.Url() + "FileList.txt";
    QCOMPARE(fixture.world.prompt.Texts(), (std::vector<std::string>{message, message}));
    QCOMPARE(fixture.world.prompt.Asked().front().buttons, PromptButtons::kRetryCancel);
    QCOMPARE(fixture.world.server.Requests("FileList.txt"), 2);
    QCOMPARE(page.InfoText()->text(), QString("Error downloading the filelist from server..."));
    QVERIFY(!page.NextButton()->isEnabled());
    QVERIFY(!page.BrowseButton()->isEnabled());

    // Cancel is the only way on, and it ends the page.
    QTest::mouseClick(page.CancelButton(), Qt::LeftButton);
    QVERIFY(!page.isVisible());
    QCOMPARE(page.result(), int(QDialog::Rejected));
    QVERIFY(fixture.handovers.empty());
  }

  // A malformed row is the catalogue's fault: its message ends the program,
  // and this computer's folder is not blamed.
  void MalformedCatalogueEndsTheProgram() {
    Fixture fixture;
    fixture.world.server.Serve("FileList.txt", "2.5\n0\nno separators on this row\n");
    SetupPage& page = fixture.Page();
    QTRY_VERIFY_WITH_TIMEOUT(!page.isVisible(), 20000);
    QCOMPARE(page.result(), SetupPage::kQuitResult);
    QCOMPARE(fixture.world.prompt.Texts(),
             std::vector<std::string>{
                 "Error in line 3 in FileList.txt! Couldn't find checksum-separator!"});
  }

  void BrowseTicksTheInstallBoxAgainAndAppendsTheFolderName() {
    Fixture fixture;
    fixture.world.release.Publish();
    SetupPage& page = fixture.Page();
    QTRY_VERIFY_WITH_TIMEOUT(fixture.Ready(), 20000);
    const QString shown = page.LocationField()->text();

    // A cancelled picker changes nothing.
    fixture.world.picker.picks = {std::nullopt};
    QTest::mouseClick(page.InstallBox(), Qt::LeftButton);
    QVERIFY(!page.InstallBox()->isChecked());
    QTest::mouseClick(page.BrowseButton(), Qt::LeftButton);
    QCOMPARE(page.LocationField()->text(), shown);
    QVERIFY(!page.InstallBox()->isChecked());
    QCOMPARE(fixture.world.picker.titles.size(), size_t{1});
    QCOMPARE(fixture.world.picker.titles[0],
             std::string("Select a folder to download the installation to:\nA folder called "
                         "\"PellixInstall\" will be created there."));

    // A drive that is too full: Cancel in the space message opens the
    // picker again; the second pick has room.
    const std::string full = fixture.world.downloads.Folder() + "full";
    const std::string games = fixture.world.downloads.Folder() + "games";
    fixture.world.picker.picks = {full, games};
    fixture.world.free_space.Set(1024);
    fixture.world.prompt.SetOnAsk(
        [&](const std::string&) { fixture.world.free_space.Set(1ull << 40); });
    fixture.world.prompt.Push(PromptAnswer::kCancel);
    QTest::mouseClick(page.BrowseButton(), Qt::LeftButton);
    QCOMPARE(fixture.world.prompt.Count(), size_t{1});
    QVERIFY(fixture.world.prompt.Texts()[0].find("(Click Cancel to select another folder)\n") !=
            std::string::npos);
    QCOMPARE(page.LocationField()->text(), QString::fromStdString(games + "/PellixInstall/"));
    QVERIFY(page.InstallBox()->isChecked());
    QVERIFY(page.NextButton()->isEnabled());

    // Next hands over the folder shown and the box's state.
    QTest::mouseClick(page.NextButton(), Qt::LeftButton);
    QCOMPARE(fixture.handovers.size(), size_t{1});
    QCOMPARE(fixture.handovers[0].folder, games + "/PellixInstall/");
    QVERIFY(fixture.handovers[0].install);
    QVERIFY(fixture.hidden_during_run);
    QCOMPARE(page.result(), int(QDialog::Accepted));
  }

  void NextOnAFullDriveLeavesThePageAsItWas() {
    Fixture fixture;
    fixture.world.release.Publish();
    SetupPage& page = fixture.Page();
    QTRY_VERIFY_WITH_TIMEOUT(fixture.Ready(), 20000);
    QTest::mouseClick(page.InstallBox(), Qt::LeftButton);  // cleared by the user

    fixture.world.free_space.Set(1024);
    fixture.world.prompt.Push(PromptAnswer::kCancel);
    const Shown before = Snapshot(page);
    QTest::mouseClick(page.NextButton(), Qt::LeftButton);

    QCOMPARE(fixture.world.prompt.Count(), size_t{1});
    QCOMPARE(fixture.world.prompt.Texts()[0],
             DiskSpaceMessage("/test-drive", 3 * 1024 * 1024 + 5 + 8 - 1024,
                              "(Click Cancel to select another folder)\n"));
    QVERIFY(fixture.handovers.empty());
    QVERIFY(page.isVisible());
    const Shown after = Snapshot(page);
    QCOMPARE(after.info, before.info);
    QVERIFY(after.next && after.cancel && after.browse);
    QVERIFY(!page.InstallBox()->isChecked());
    QCOMPARE(page.LocationField()->text(), QString::fromStdString(fixture.world.DefaultFolder()));

    // With room again, the same Next goes on; the user's choice of the
    // install box travels with it, and the run's verdict ends the page.
    fixture.world.free_space.Set(1ull << 40);
    fixture.run_result = QDialog::Rejected;
    QTest::mouseClick(page.NextButton(), Qt::LeftButton);
    QCOMPARE(fixture.handovers.size(), size_t{1});
    QCOMPARE(fixture.handovers[0].folder, fixture.world.DefaultFolder());
    QVERIFY(!fixture.handovers[0].install);
    QCOMPARE(page.result(), int(QDialog::Rejected));
    QVERIFY(!page.isVisible());
  }
};

}  // namespace brenvik::test

QTEST_MAIN(brenvik::test::SetupPageTest)
#include "setup_page_test.moc"
