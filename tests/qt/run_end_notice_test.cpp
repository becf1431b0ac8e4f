// The notification at a run's end, against a session bus of the test's own
// (dbus-daemon) with a notification service that the test itself registers
// and that records every Notify call: a run that ends while its window is
// not in front is told, with the program's name and how the run ended;
// a run that ends in front of the user is not. Without dbus-daemon the
// tests skip, except under CI, which installs it.

#include "qt/run_end_notice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <optional>
#include <string>

#include "qt/gui_world.h"
#include "qt/progress_page.h"
#include "run/run_engine.h"

namespace brenvik::test {

// What the fake notification service received.
struct Notice {
  QString app_name;
  QString summary;
  QString body;
  QVariantMap hints;
};

// org.freedesktop.Notifications as far as Notify goes.
class FakeNotifications final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  std::vector<Notice> notices;

 public slots:
  uint Notify(const QString& app_name, uint, const QString&, const QString& summary,
              const QString& body, const QStringList&, const QVariantMap& hints, int) {
    notices.push_back({app_name, summary, body, hints});
    return static_cast<uint>(notices.size());
  }
};

namespace {

// A private session bus for the whole test program, made before the first
// use of the session bus: its address goes into DBUS_SESSION_BUS_ADDRESS.
struct PrivateBus {
  QString address;
  QString pid;
  QString missing;  // why there is no bus
};

PrivateBus StartPrivateBus() {
  PrivateBus bus;
  QProcess daemon;
  daemon.start("dbus-daemon",
               {"--session", "--fork", "--nosyslog", "--print-address=1", "--print-pid=1"});
  if (!daemon.waitForFinished(10000) || daemon.exitCode() != 0) {
    bus.missing = "dbus-daemon could not be started (the dbus-daemon package brings it)";
    return bus;
  }
  const QStringList lines = QString::fromUtf8(daemon.readAllStandardOutput()).split('\n');
  if (lines.size() < 2) {
    bus.missing = "dbus-daemon gave no address";
    return bus;
  }
  bus.address = lines[0].trimmed();
  bus.pid = lines[1].trimmed();
  qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address.toUtf8());
  return bus;
}

PrivateBus& Bus() {
  static PrivateBus bus = StartPrivateBus();
  return bus;
}

// A window other than the page, in front of it.
void TurnAwayFrom(QWidget& page, QWidget& other) {
  other.show();
  other.activateWindow();
  QTRY_VERIFY(!page.isActiveWindow());
}

}  // namespace

class RunEndNoticeTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (!Bus().missing.isEmpty()) {
      if (qEnvironmentVariableIsSet("CI")) QFAIL(qPrintable(Bus().missing));
      QSKIP(qPrintable(Bus().missing));
    }
    // The service on a connection of its own, as a desktop's would be.
    service_bus_.emplace(QDBusConnection::connectToBus(Bus().address, "notification-service"));
    QVERIFY(service_bus_->isConnected());
    QVERIFY(service_bus_->registerService("org.freedesktop.Notifications"));
    QVERIFY(service_bus_->registerObject("/org/freedesktop/Notifications", &service_,
                                         QDBusConnection::ExportAllSlots));
  }

  void cleanupTestCase() {
    if (service_bus_) QDBusConnection::disconnectFromBus("notification-service");
    if (!Bus().pid.isEmpty()) QProcess::execute("kill", {Bus().pid});
  }

  void init() { service_.notices.clear(); }

  void AWindowTurnedAwayFromIsToldTheRunIsComplete() {
    GuiWorld world;
    world.release.Add("Setup.ini", "[setup]\n");
    world.release.Add("Data/a.cab", RandomBytes(64 * 1024, 1));
    world.WriteCatalogue();
    world.server.Misbehave(world.release.PathOf("Data/a.cab"),
                           Behaviour{.trickle = std::chrono::milliseconds(5)});
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QWidget other;
    TurnAwayFrom(page, other);
    QTRY_COMPARE_WITH_TIMEOUT(page.CancelButton()->text(), QString("Quit"), 30000);

    QTRY_COMPARE(service_.notices.size(), size_t{1});
    const Notice& notice = service_.notices.front();
    QCOMPARE(notice.app_name, QString("Brenvik"));
    QCOMPARE(notice.summary, QString("Brenvik"));
    QCOMPARE(notice.body, QString("The download is complete."));
    QCOMPARE(notice.hints.value("desktop-entry").toString(), QString("brenvik"));
  }

  // A download given up at its question fails the run; Cancel cancels it.
  void TheBodySaysHowTheRunEnded() {
    {
      GuiWorld world;
      world.release.Add("gone.bin", RandomBytes(1000, 2));
      world.WriteCatalogue();
      world.server.Remove(world.release.PathOf("gone.bin"));
      const auto run = world.MakeSession().MakeRun(Handover{world.downloads.Folder(), false});
      // The scripted prompt answers the download's question with Cancel.
      ProgressPage page(*run, world.prompt);
      page.show();
      QWidget other;
      TurnAwayFrom(page, other);
      QTRY_VERIFY_WITH_TIMEOUT(!page.isVisible(), 30000);
    }
    QTRY_COMPARE(service_.notices.size(), size_t{1});
    QCOMPARE(service_.notices.back().body, QString("The download failed."));

    GuiWorld world;
    world.release.Add("Setup.ini", "[setup]\n");
    world.release.Add("slow.bin", RandomBytes(256 * 1024, 3));
    world.WriteCatalogue();
    world.server.Misbehave(world.release.PathOf("slow.bin"),
                           Behaviour{.stall = std::chrono::seconds(60)});
    const auto run = world.MakeSession().MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QWidget other;
    TurnAwayFrom(page, other);
    QTRY_COMPARE_WITH_TIMEOUT(run->table().Row(0).state, JobState::Verified, 10000);
    page.reject();
    QTRY_COMPARE(service_.notices.size(), size_t{2});
    QCOMPARE(service_.notices.back().body, QString("The download was cancelled."));
  }

  // The user watched the run end: the desktop is not bothered. A notice sent
  // afterwards on the same connection arrives alone, so nothing was sent
  // before it.
  void AWindowInFrontIsNotTold() {
    GuiWorld world;
    world.release.Add("Setup.ini", "[setup]\n");
    world.WriteCatalogue();
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    page.activateWindow();
    QTRY_VERIFY(page.isActiveWindow());
    QTRY_COMPARE_WITH_TIMEOUT(page.CancelButton()->text(), QString("Quit"), 30000);
    QVERIFY(page.isActiveWindow());

    QDBusMessage marker = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                         "/org/freedesktop/Notifications",
                                                         "org.freedesktop.Notifications", "Notify");
    marker << QString("marker") << 0u << QString() << QString() << QString() << QStringList()
           << QVariantMap() << -1;
    QVERIFY(QDBusConnection::sessionBus().send(marker));
    QTRY_COMPARE(service_.notices.size(), size_t{1});
    QCOMPARE(service_.notices.front().app_name, QString("marker"));
  }

 private:
  FakeNotifications service_;
  std::optional<QDBusConnection> service_bus_;
};

}  // namespace brenvik::test

int main(int argc, char** argv) {
  // The bus comes before the application, which may reach for the session
  // bus as it starts.
  brenvik::test::Bus();
  QApplication app(argc, argv);
  brenvik::test::RunEndNoticeTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "run_end_notice_test.moc"
