// The progress page over a real run against a real HTTP server: the whole
// run to "All Done." and "Quit", Cancel in mid-run with the abort wait, the
// download worker's questions and requests, the title's elapsed time, and
// the rule by which the list follows the first unfinished row.

#include "qt/progress_page.h"

#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <thread>

#include "qt/gui_world.h"
#include "qt/qt_prompt.h"
#include "run/run_engine.h"

namespace brenvik::test {

namespace {

const QRegularExpression kTimedTitle(
    "^Quellmoor Tessivane Brenvik Step 2 / 2 - [0-2][0-9]:[0-5][0-9]:[0-5][0-9]$");

const std::string kContinueLater =
    "You might be able to continue downloading this CD at a later time,\nunless a newer CD has "
    "been released on the site. This program will\nalways try to download the newest CD from the "
    "site.";

QString Cell(const ProgressPage& page, int row, int column) {
  return page.List()->model()->index(row, column).data().toString();
}

// What the sampler saw of the page during an abort wait.
struct WaitSample {
  QString title;
  bool cancel_enabled;
  bool visible;
  bool workers_running;
};

}  // namespace

class ProgressPageTest : public QObject {
  Q_OBJECT

 private slots:
  void WholeRunToAllDoneAndQuit() {
    GuiWorld world;
    world.release.Add("Setup.ini", "[setup]\nlanguage=en\n");
    world.release.Add("Data/a.cab", RandomBytes(300 * 1024, 1));
    world.release.Add("Install.exe", RandomBytes(200 * 1024, 2));
    world.WriteCatalogue();
    // One file is there already and is not fetched again.
    const std::string folder = world.downloads.Folder();
    world.downloads.Write("Setup.ini", world.release.Content("Setup.ini"));
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{folder, true});
    ProgressPage page(*run, world.prompt);
    page.show();

    QCOMPARE(page.windowTitle(), QString("Quellmoor Tessivane Brenvik Step 2 / 2"));
    QCOMPARE(page.LocationLine()->text(),
             QString::fromStdString("Download-location is \"" + folder +
                                    "\"\nInstall after downloading: Yes"));
    QCOMPARE(page.List()->model()->headerData(0, Qt::Horizontal).toString(),
             QString("File / Operation:"));
    QCOMPARE(page.List()->model()->headerData(1, Qt::Horizontal).toString(), QString("Status:"));
    QCOMPARE(page.List()->model()->rowCount(), 4);
    QCOMPARE(Cell(page, 3, 0), QString("Start Install.exe"));
    QCOMPARE(page.CancelButton()->text(), QString("Cancel"));
    QCOMPARE(page.CancelButton()->toolTip(), QString("Click here to abort / quit this program"));
    QCOMPARE(page.ProgressBar()->toolTip(), QString("This window shows the overall progress"));
    QCOMPARE(page.List()->toolTip(),
             QString("This window shows what is happening at any given time"));
    // The name column is half as wide as the status column.
    QCOMPARE(2 * page.List()->header()->sectionSize(0), page.List()->header()->sectionSize(1));

    QTRY_COMPARE_WITH_TIMEOUT(page.StatusLine()->text(), QString("All Done."), 30000);
    QCOMPARE(page.CancelButton()->text(), QString("Quit"));
    QVERIFY2(kTimedTitle.match(page.windowTitle()).hasMatch(), qPrintable(page.windowTitle()));
    QCOMPARE(page.ProgressBar()->value(), page.ProgressBar()->maximum());
    QCOMPARE(Cell(page, 3, 1), QString("Installer started OK!"));
    QCOMPARE(world.launcher.Started(), std::vector<std::string>{folder + "Install.exe"});
    for (int row = 0; row < 3; ++row) {
      QCOMPARE(run->table().Row(row).state, JobState::Verified);
    }
    QCOMPARE(world.downloads.Read("Data/a.cab"), world.release.Content("Data/a.cab"));
    QCOMPARE(world.server.Requests(world.release.PathOf("Setup.ini")), 0);

    // The finished page ticks no more: its title stays as it is.
    const QString final_title = page.windowTitle();
    QTest::qWait(1200);
    QCOMPARE(page.windowTitle(), final_title);

    QTest::mouseClick(page.CancelButton(), Qt::LeftButton);
    QVERIFY(!page.isVisible());
    QCOMPARE(page.result(), int(QDialog::Rejected));
    QVERIFY(!run->WorkersRunning());
    QVERIFY(run->Succeeded());
    QCOMPARE(world.prompt.Count(), size_t{0});  // no abort message after "All Done."
  }

  // Cancel while a file is on its way: the wait disables Cancel and keeps
  // the window drawing, the last tick puts the elapsed time in the title
  // and shows the continue-later message once, and both workers are gone.
  void CancelInMidRunWaitsForBothWorkers() {
    GuiWorld world;
    world.release.Add("Setup.ini", "[setup]\n");
    world.release.Add("Data/a.cab", RandomBytes(256 * 1024, 1));
    world.WriteCatalogue();
    world.server.Misbehave(world.release.PathOf("Data/a.cab"),
                           Behaviour{.trickle = std::chrono::milliseconds(20)});
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    // The run is under way: the first file is in, the second on its way.
    QTRY_COMPARE_WITH_TIMEOUT(run->table().Row(0).state, JobState::Verified, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(run->table().Row(1).status.phase, RowPhase::kDownloading, 10000);

    std::vector<WaitSample> samples;
    Sampler sampler([&] {
      samples.push_back({page.windowTitle(), page.CancelButton()->isEnabled(), page.isVisible(),
                         run->WorkersRunning()});
    });
    QTest::mouseClick(page.CancelButton(), Qt::LeftButton);

    QVERIFY(!page.isVisible());
    QCOMPARE(page.result(), int(QDialog::Rejected));
    QVERIFY(!run->WorkersRunning());
    for (const WaitSample& sample : samples) {
      if (sample.workers_running) QVERIFY(sample.visible && !sample.cancel_enabled);
    }
    const QRegularExpression timed("^Aborting, please wait\\.\\.\\. - \\d\\d:\\d\\d:\\d\\d$");
    QVERIFY2(timed.match(page.windowTitle()).hasMatch(), qPrintable(page.windowTitle()));
    const std::vector<std::string> texts = world.prompt.Texts();
    QCOMPARE(std::count(texts.begin(), texts.end(), kContinueLater), 1);
    QCOMPARE(page.CancelButton()->text(), QString("Quit"));
    QVERIFY(!std::filesystem::exists(world.downloads.path() / "Data" / "a.cab"));
  }

  // Enter is the dialog's OK, pressed twice to confirm or repeated by a
  // held key: during the run it does nothing, and the run goes on to
  // "All Done."; afterwards it ends the page as Quit does.
  void EnterDuringARunLeavesItRunningAndEndsThePageAfterwards() {
    GuiWorld world;
    world.release.Add("Setup.ini", "[setup]\n");
    world.release.Add("Data/a.cab", RandomBytes(200 * 1024, 1));
    world.WriteCatalogue();
    world.server.Misbehave(world.release.PathOf("Data/a.cab"),
                           Behaviour{.trickle = std::chrono::milliseconds(10)});
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QTRY_COMPARE_WITH_TIMEOUT(run->table().Row(1).status.phase, RowPhase::kDownloading, 10000);
    for (int press = 0; press < 5; ++press) {
      QTest::keyClick(&page, press % 2 == 0 ? Qt::Key_Return : Qt::Key_Enter);
      QTest::qWait(20);
    }
    page.accept();  // the framework's OK command, as a default button would send it
    QVERIFY(page.isVisible());
    QCOMPARE(page.CancelButton()->text(), QString("Cancel"));
    QVERIFY(run->WorkersRunning());

    QTRY_COMPARE_WITH_TIMEOUT(page.StatusLine()->text(), QString("All Done."), 30000);
    for (int row = 0; row < 2; ++row) {
      QCOMPARE(run->table().Row(row).state, JobState::Verified);
    }
    QCOMPARE(world.downloads.Read("Data/a.cab"), world.release.Content("Data/a.cab"));
    QCOMPARE(world.prompt.Count(), size_t{0});

    QTest::keyClick(&page, Qt::Key_Return);
    QVERIFY(!page.isVisible());
    QCOMPARE(page.result(), int(QDialog::Rejected));  // as Quit ends it
    QVERIFY(run->Succeeded());
    QCOMPARE(world.prompt.Count(), size_t{0});
  }

  // Escape is a cancel on purpose: it stops the run as Cancel does.
  void EscapeDuringARunStopsItWithTheContinueLaterMessage() {
    GuiWorld world;
    world.release.Add("Data/a.cab", RandomBytes(200 * 1024, 1));
    world.WriteCatalogue();
    world.server.Misbehave(world.release.PathOf("Data/a.cab"),
                           Behaviour{.trickle = std::chrono::milliseconds(20)});
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QTRY_COMPARE_WITH_TIMEOUT(run->table().Row(0).status.phase, RowPhase::kDownloading, 10000);
    QTest::keyClick(&page, Qt::Key_Escape);

    QVERIFY(!page.isVisible());
    QCOMPARE(page.result(), int(QDialog::Rejected));
    QVERIFY(!run->WorkersRunning());
    QVERIFY(!run->Succeeded());
    const std::vector<std::string> texts = world.prompt.Texts();
    QCOMPARE(std::count(texts.begin(), texts.end(), kContinueLater), 1);
    QVERIFY(!std::filesystem::exists(world.downloads.path() / "Data" / "a.cab"));
  }

  // A worker's question is a real message box; giving up the download
  // closes the page through the abort wait, and the wait keeps answering.
  void GivingUpADownloadClosesThePageAfterTheWait() {
    GuiWorld world;
    world.release.Add("Data/a.cab", RandomBytes(10 * 1024, 1));
    world.WriteCatalogue();
    world.server.Misbehave(world.release.PathOf("Data/a.cab"), Behaviour{.status = 404});
    QtPrompt prompt;
    MessageBoxAnswerer answerer({QMessageBox::Retry, QMessageBox::Cancel}, QMessageBox::Ok);
    SessionConfig config = world.Config();
    Session session(config, world.process, world.settings, world.catalogue, prompt, world.picker,
                    world.free_space, world.launcher);
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, prompt);
    page.show();

    QTRY_VERIFY_WITH_TIMEOUT(!page.isVisible(), 60000);
    QCOMPARE(page.result(), int(QDialog::Rejected));
    QVERIFY(!run->WorkersRunning());
    QVERIFY(answerer.Boxes().size() >= 2);
    const QString failure = QString::fromStdString(
        "Couldn't download \"" + world.release.BaseUrl() +
        "2.5/Data/a.cab\".\nPlease contact help@example.test for assistance.\nHTTP status 404");
    QCOMPARE(answerer.Boxes()[0].text, failure);
    QCOMPARE(answerer.Boxes()[0].buttons, QMessageBox::Retry | QMessageBox::Cancel);
    QCOMPARE(answerer.Boxes()[1].text, failure);
    // Anything after that is the abort message of a tick during the wait.
    for (size_t i = 2; i < answerer.Boxes().size(); ++i) {
      QCOMPARE(answerer.Boxes()[i].text, QString::fromStdString(kContinueLater));
    }
  }

  void RefusedSpaceInTheWorkerEndsAtOnce() {
    GuiWorld world;
    world.release.Add("Data/a.cab", RandomBytes(10 * 1024, 1));
    world.WriteCatalogue();
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    world.free_space.Set(0);
    ProgressPage page(*run, world.prompt);
    page.show();
    QTRY_VERIFY_WITH_TIMEOUT(!page.isVisible(), 30000);
    QCOMPARE(page.result(), ProgressPage::kQuitResult);
    QVERIFY(page.windowTitle() != "Aborting, please wait...");
    QVERIFY(page.CancelButton()->isEnabled());
    QCOMPARE(run->Poll().request, RunRequest::kQuit);
  }

  // A run that cannot finish (its only file stalls) keeps ticking, and each
  // tick replaces the time in the title instead of adding another.
  void TitleCarriesTheElapsedTime() {
    GuiWorld world;
    world.release.Add("Data/a.cab", RandomBytes(10 * 1024, 1));
    world.WriteCatalogue();
    world.server.Misbehave(world.release.PathOf("Data/a.cab"),
                           Behaviour{.stall = std::chrono::seconds(60)});
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QTRY_VERIFY_WITH_TIMEOUT(kTimedTitle.match(page.windowTitle()).hasMatch(), 5000);

    QStringList titles;
    Sampler sampler([&] {
      if (titles.isEmpty() || titles.back() != page.windowTitle()) titles << page.windowTitle();
    });
    QTRY_VERIFY_WITH_TIMEOUT(titles.size() >= 2, 10000);  // the seconds moved on
    for (const QString& title : titles) {
      QVERIFY2(kTimedTitle.match(title).hasMatch(), qPrintable(title));
    }
    QCOMPARE(page.ProgressBar()->value(), 0);
    QVERIFY(page.StatusLine()->text() != "All Done.");
    world.server.Stop();
    page.reject();
    QVERIFY(!page.isVisible());
  }

  // A catalogue without files is no release: the run says so and fails
  // instead of ending "All Done." over nothing.
  void EmptyCatalogueEndsTheRunAsAFailure() {
    GuiWorld world;
    world.WriteCatalogue();
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QTRY_COMPARE_WITH_TIMEOUT(page.StatusLine()->text(),
                              QString("There was an error in FileList.txt"), 10000);
    QCOMPARE(page.List()->model()->rowCount(), 0);
    QVERIFY(!run->Succeeded());
    QVERIFY(!world.prompt.Texts().empty());
    QCOMPARE(world.prompt.Texts().front(),
             std::string("FileList.txt is not a catalogue: no file rows"));
    page.reject();
  }

  // Cancel whose wait is over before the first tick: the page still ends
  // the way a tick during the wait would have ended it, with the
  // continue-later message shown once.
  void CancelBeforeTheFirstTickShowsTheContinueLaterMessageOnce() {
    GuiWorld world;
    world.release.Add("Data/a.cab", RandomBytes(200 * 1024, 1));
    world.WriteCatalogue();
    world.server.Misbehave(world.release.PathOf("Data/a.cab"),
                           Behaviour{.trickle = std::chrono::milliseconds(5)});
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QTest::mouseClick(page.CancelButton(), Qt::LeftButton);

    QVERIFY(!page.isVisible());
    QCOMPARE(page.result(), int(QDialog::Rejected));
    QVERIFY(!run->WorkersRunning());
    const std::vector<std::string> texts = world.prompt.Texts();
    QCOMPARE(std::count(texts.begin(), texts.end(), kContinueLater), 1);
    QCOMPARE(page.CancelButton()->text(), QString("Quit"));
    const QRegularExpression timed("^Aborting, please wait\\.\\.\\. - \\d\\d:\\d\\d:\\d\\d$");
    QVERIFY2(timed.match(page.windowTitle()).hasMatch(), qPrintable(page.windowTitle()));
  }

  // A progress report of the download brings its row into view, also when
  // the tick follows another row or no longer ticks.
  void TheRowBeingDownloadedIsKeptInView() {
    GuiWorld world;
    for (int i = 0; i < 40; ++i) {
      world.release.Add("f" + std::to_string(100 + i) + ".bin", RandomBytes(100, i + 1));
    }
    world.WriteCatalogue();
    for (const auto& [name, content] : world.release.Files()) world.downloads.Write(name, content);
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QTRY_COMPARE_WITH_TIMEOUT(page.StatusLine()->text(), QString("All Done."), 30000);

    QTreeView& list = *page.List();
    auto visible = [&](int row) {
      return list.viewport()->rect().contains(list.visualRect(list.model()->index(row, 0)));
    };
    list.scrollToTop();
    QVERIFY(!visible(35));
    // The run's own workers are stopped first, so that none of them takes
    // the row this test is about to hold.
    run->WaitForWorkers({});
    // What a download worker does before a download, and what its lane
    // does on each progress report.
    run->table().SetState(35, JobState::PendingDownload);
    QCOMPARE(run->table().TakeDownload(), 35);
    run->table().SetStatus(35, RowStatus::Downloading(42));
    QTRY_VERIFY_WITH_TIMEOUT(visible(35), 5000);
    QCOMPARE(Cell(page, 35, 1), QString("42 % downloaded"));
    page.reject();
  }

  // Rows 0 to 2 are only made visible; a later row is made visible and the
  // list scrolls at most one more row per tick while the row lies below the
  // middle of the view.
  void FollowingTheFirstUnfinishedRow() {
    QStandardItemModel model(40, 2);
    QTreeView view;
    view.setModel(&model);
    view.setHeaderHidden(true);
    view.setUniformRowHeights(true);
    view.setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int row_height = view.sizeHintForRow(0);
    view.resize(200, 6 * row_height + 2 * view.frameWidth());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto top = [&] { return view.indexAt(QPoint(1, 1)).row(); };
    QCOMPARE(view.viewport()->height() / row_height, 6);

    // Row 3 with the view at the top: 0 + 6 / 2 is not below 3, no scroll.
    ProgressPage::FollowRow(view, 3);
    QCOMPARE(top(), 0);
    // Row 8 is brought fully into view (rows 3 to 8), then one more step.
    ProgressPage::FollowRow(view, 8);
    QCOMPARE(top(), 4);
    ProgressPage::FollowRow(view, 8);
    QCOMPARE(top(), 5);
    ProgressPage::FollowRow(view, 8);
    QCOMPARE(top(), 5);  // 5 + 3 is not below 8: the row sits in the middle
    ProgressPage::FollowRow(view, 9);
    QCOMPARE(top(), 6);

    // Rows 0 to 2 are never scrolled for, only made visible.
    ProgressPage::FollowRow(view, 2);
    QCOMPARE(top(), 2);
    view.verticalScrollBar()->setValue(0);
    ProgressPage::FollowRow(view, 2);
    QCOMPARE(top(), 0);
  }
};

}  // namespace brenvik::test

QTEST_MAIN(brenvik::test::ProgressPageTest)
#include "progress_page_test.moc"
