#include "qt/run_end_notice.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>

#include "texts/window_texts.h"

namespace brenvik {
namespace {

// The desktop entry and icon the program is installed with.
constexpr const char* kDesktopEntry = "brenvik";

void SendNotification(const QString& body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                     "/org/freedesktop/Notifications",
                                                     "org.freedesktop.Notifications", "Notify");
  const QString name = QString::fromUtf8(kProgramName);
  const QVariantMap hints{{"desktop-entry", QString::fromUtf8(kDesktopEntry)},
                          {"urgency", QVariant::fromValue<uchar>(1)}};
  // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints,
  // expire_timeout): a new notice that expires as the desktop sees fit.
  call << name << 0u << QString::fromUtf8(kDesktopEntry) << name << body << QStringList() << hints
       << -1;
  // Sent and not waited for: the answer (the notice's id, or an error when
  // no service is there) is of no use to the page.
  bus.send(call);
}

}  // namespace

QString RunEndNotice::BodyOf(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kNone:
      return {};
    case RunOutcome::kComplete:
      return QString::fromUtf8(kRunCompleteNotice);
    case RunOutcome::kInstallerFailed:
      return QString::fromUtf8(kInstallerFailedNotice);
    case RunOutcome::kFailed:
      return QString::fromUtf8(kRunFailedNotice);
    case RunOutcome::kCancelled:
      return QString::fromUtf8(kRunCancelledNotice);
  }
  return {};
}

void RunEndNotice::RunEnded(RunOutcome outcome) {
  if (told_ || outcome == RunOutcome::kNone) return;
  told_ = true;
  if (window_.isActiveWindow()) return;
  QApplication::alert(&window_);
  SendNotification(BodyOf(outcome));
}

}  // namespace brenvik
