// Writes pictures of both wizard pages into the folder given on the command
// line: setup_page.png once the catalogue is in, progress_page.png in the
// middle of a run (some files verified, one downloading, the rest pending).
// The release is a sample served by the test server on this machine.
//
//   gui_screenshots <folder>        (QT_QPA_PLATFORM=offscreen works)
//   gui_screenshots --notice <file> the whole screen once a run has ended
//                                   behind another window, with the
//                                   desktop's notification (an X display
//                                   with a notification daemon on the
//                                   session bus: scripts/notice-screenshot)

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <cstdio>
#include <functional>

#include "qt/gui_world.h"
#include "qt/progress_page.h"
#include "qt/setup_page.h"
#include "run/job_table.h"
#include "run/run_engine.h"

namespace brenvik::test {
namespace {

bool WaitFor(const std::function<bool()>& condition, int limit_ms) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > limit_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

bool Save(QWidget& page, const QString& path) {
  // Let the last changes paint before the picture is taken.
  QCoreApplication::processEvents();
  if (!page.grab().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("wrote %s\n", qPrintable(path));
  return true;
}

// A CD's worth of files, small enough to serve in a moment; one of them
// trickles so the run is caught in the middle.
void PublishSampleRelease(GuiWorld& world) {
  constexpr size_t kKiB = 1024;
  world.release.Add("Install.exe", RandomBytes(900 * kKiB, 1));
  world.release.Add("Setup.ini", RandomBytes(3 * kKiB, 2));
  world.release.Add("Readme.txt", RandomBytes(18 * kKiB, 3));
  world.release.Add("Data/Pellix1.cab", RandomBytes(2600 * kKiB, 4));
  world.release.Add("Data/Pellix2.cab", RandomBytes(3100 * kKiB, 5));
  world.release.Add("Data/Pellix3.cab", RandomBytes(2900 * kKiB, 6));
  world.release.Add("Movies/Intro.mpg", RandomBytes(1700 * kKiB, 7));
  world.release.Add("Sound/Music.pak", RandomBytes(1200 * kKiB, 8));
  world.release.Add("Sound/Speech.pak", RandomBytes(800 * kKiB, 9));
  world.release.Add("Maps/Coast.map", RandomBytes(240 * kKiB, 10));
  world.release.Add("Maps/Harbour.map", RandomBytes(260 * kKiB, 11));
  world.release.Publish(8 * 1024 * kKiB);
  world.server.Misbehave(world.release.PathOf("Data/Pellix2.cab"),
                         Behaviour{.trickle = std::chrono::milliseconds(4)});
}

int Run(const QString& folder) {
  QDir().mkpath(folder);
  GuiWorld world;
  PublishSampleRelease(world);
  SessionConfig config = world.Config();
  // What a user called "player" would be offered.
  config.default_folder = "/home/player/Downloads/PellixInstall/";
  config.pause = std::chrono::milliseconds(200);
  Session& session = world.MakeSession(config);
  session.InitialiseSetup();

  {
    SetupPage setup(session.Setup(), world.process.transfer_callback, world.prompt,
                    [](const Handover&) { return 0; });
    setup.show();
    if (!WaitFor([&] { return setup.NextButton()->isEnabled(); }, 20000)) {
      std::fprintf(stderr, "the setup page did not get ready\n");
      return 1;
    }
    if (!Save(setup, folder + "/setup_page.png")) return 1;
  }

  // Some files are there already from an earlier, cancelled run.
  const std::string download_folder = world.downloads.Folder() + "PellixInstall/";
  for (const char* name : {"Install.exe", "Setup.ini", "Readme.txt"}) {
    world.downloads.Write(std::string("PellixInstall/") + name, world.release.Content(name));
  }
  const std::unique_ptr<RunEngine> run = session.MakeRun(Handover{download_folder, true});
  ProgressPage page(*run, world.prompt);
  page.show();
  const JobTable& table = run->table();
  const bool mid_run = WaitFor(
      [&] {
        const int row = table.CurrentDownloadRow();
        const JobRow shown = table.Row(row);
        if (row < 0 || shown.name != "Data/Pellix2.cab") return false;
        return shown.status.phase == RowPhase::kDownloading && shown.status.percent >= 40 &&
               table.StatusLine().find("kB/s") != std::string::npos &&
               page.windowTitle().contains(QLatin1String(" - "));
      },
      60000);
  if (!mid_run) {
    std::fprintf(stderr, "the run did not reach the middle\n");
    return 1;
  }
  const bool saved = Save(page, folder + "/progress_page.png");
  page.reject();
  return saved ? 0 : 1;
}

// The sample release run to its end while a plain desktop, in front, has
// the focus; then the screen, with the notification the end brought.
int RunNotice(const QString& path) {
  GuiWorld world;
  PublishSampleRelease(world);
  world.server.Behave(world.release.PathOf("Data/Pellix2.cab"));
  world.WriteCatalogue();
  Session& session = world.MakeSession();
  const std::unique_ptr<RunEngine> run =
      session.MakeRun(Handover{world.downloads.Folder() + "PellixInstall/", false});

  QWidget desktop;
  desktop.setStyleSheet("background-color: #4d6a86;");
  desktop.setGeometry(QGuiApplication::primaryScreen()->geometry());
  desktop.show();
  ProgressPage page(*run, world.prompt);
  // On the left, clear of the notices in the top right corner.
  page.move(24, (desktop.height() - page.height()) / 2);
  page.show();
  desktop.activateWindow();
  const bool ended = WaitFor(
      [&] { return !page.isActiveWindow() && page.CancelButton()->text() == "Quit"; }, 60000);
  if (!ended) {
    std::fprintf(stderr, "the run did not end behind the desktop\n");
    return 1;
  }
  // The daemon draws its notice meanwhile.
  WaitFor([] { return false; }, 2000);
  if (!QGuiApplication::primaryScreen()->grabWindow(0).save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return 1;
  }
  std::printf("wrote %s\n", qPrintable(path));
  return 0;
}

}  // namespace
}  // namespace brenvik::test

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc == 3 && QString(argv[1]) == "--notice") {
    return brenvik::test::RunNotice(QString::fromLocal8Bit(argv[2]));
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: gui_screenshots <folder> | --notice <file>\n");
    return 2;
  }
  return brenvik::test::Run(QString::fromLocal8Bit(argv[1]));
}
