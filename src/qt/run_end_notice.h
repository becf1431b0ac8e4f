#pragma once
// Telling the user that a run has ended when they have turned away from its
// window: the window asks for attention (QApplication::alert; the desktop
// marks it), and the desktop shows a notification, the program's name over
// how the run ended ("The download is complete.", ...), sent as a
// freedesktop notification (org.freedesktop.Notifications, Notify) over the
// session bus. The window in front gets neither: the user sees the end.
//
// The notification is sent without waiting for an answer, so a bus without
// a notification service costs nothing and the page never waits on the
// desktop; with no session bus nothing is sent.
//
// Threads: the GUI thread only.

#include <QString>

#include "run/run_view.h"

class QWidget;

namespace brenvik {

class RunEndNotice {
 public:
  explicit RunEndNotice(QWidget& window) : window_(window) {}

  // The run is over with `outcome`; only the first call after the run's
  // end does anything.
  void RunEnded(RunOutcome outcome);

  // The notification's body for `outcome` (empty for kNone).
  static QString BodyOf(RunOutcome outcome);

 private:
  QWidget& window_;
  bool told_ = false;
};

}  // namespace brenvik
