#include "qt/progress_page.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTreeView>
#include <climits>
#include <ctime>

#include "qt/dialog_furniture.h"
#include "run/run_engine.h"
#include "texts/printable_text.h"
#include "texts/run_texts.h"

namespace brenvik {

ProgressPage::ProgressPage(RunEngine& run, Prompt& prompt, QWidget* parent)
    : QDialog(parent), run_(run), prompt_(prompt), model_(run.table()) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8(kRunCaption));
  BuildControls();
  AddAboutEntry(*this);
  CentreOnScreen(*this);
  location_->setText(QString::fromStdString(PrintableText(run_.LocationLine())));

  run_.Start();

  ShowTable();
  const uint64_t total = run_.TotalBytes();
  while (progress_shift_ < 63 && (total >> progress_shift_) > static_cast<uint64_t>(INT_MAX)) {
    ++progress_shift_;
  }
  // An empty range would make the bar a busy indicator.
  progress_->setRange(0, std::max(1, static_cast<int>(total >> progress_shift_)));
  progress_->setValue(0);

  AddTooltips(this,
              {{progress_, kProgressTooltip}, {list_, kTableTooltip}, {cancel_, kCancelTooltip}},
              prompt);

  poll_timer_.setInterval(kPollMs);
  connect(&poll_timer_, &QTimer::timeout, this, &ProgressPage::OnPoll);
  poll_timer_.start();
}

ProgressPage::~ProgressPage() {
  poll_timer_.stop();
  // The model is a member and goes before the list, a child, does.
  list_->setModel(nullptr);
}

void ProgressPage::BuildControls() {
  const DialogUnits units(font());

  AddSidePicture(*this, units.Rect(7, 7, 65, 149));

  SunkenText(QString::fromUtf8(kRunIntro), this)->setGeometry(units.Rect(78, 7, 236, 18));

  location_ = SunkenText(QString::fromUtf8(kLocationFormat), this);
  location_->setGeometry(units.Rect(78, 28, 236, 18));

  list_ = new QTreeView(this);
  list_->setModel(&model_);
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setSortingEnabled(false);
  list_->setWordWrap(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  list_->setIconSize(QSize(16, 16));
  list_->header()->setSectionsClickable(false);
  list_->header()->setSectionsMovable(false);
  list_->header()->setStretchLastSection(false);
  list_->setGeometry(units.Rect(78, 50, 236, 76));
  // A third of the room beside a vertical scroll bar for the names, two
  // thirds for the status.
  const int width = list_->contentsRect().width() -
                    style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list_);
  list_->header()->resizeSection(0, width / 3);
  list_->header()->resizeSection(1, 2 * (width / 3));

  status_ = SunkenText(QString(), this);
  status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  status_->setWordWrap(false);
  status_->setGeometry(units.Rect(78, 130, 236, 11));

  progress_ = new QProgressBar(this);
  progress_->setTextVisible(false);
  progress_->setGeometry(units.Rect(78, 144, 236, 11));

  cancel_ = new QPushButton(QString::fromUtf8(kCancelButton), this);
  cancel_->setGeometry(units.Rect(246, 162, 68, 14));
  cancel_->setAutoDefault(false);
  connect(cancel_, &QPushButton::clicked, this, &ProgressPage::reject);
  // The button has the focus, as the first control of the page; the list
  // only shows what happens.
  cancel_->setFocus();

  setFixedSize(units.Size(321, 183));
}

void ProgressPage::ShowTable() {
  model_.Refresh();
  status_->setText(QString::fromStdString(run_.table().StatusLine()));
}

void ProgressPage::ShowProgress(uint64_t verified_bytes) {
  progress_->setValue(static_cast<int>(
      std::min<uint64_t>(verified_bytes >> progress_shift_, static_cast<uint64_t>(INT_MAX))));
}

void ProgressPage::OnPoll() {
  // A question's message box runs its own event loop, in which this timer
  // goes on firing; the run waits until the answer is in.
  if (asking_ || ended_) return;
  const RunSnapshot snapshot = run_.Poll(windowTitle().toStdString());
  ShowTable();
  KeepDownloadInView();
  if (snapshot.question) AnswerQuestion(*snapshot.question);
  if (!request_handled_ && !ended_) HandleRequest(snapshot.request);
  if (snapshot.tick && !ticks_over_ && !ended_) ShowTick(*snapshot.tick);
}

void ProgressPage::AnswerQuestion(const Question& question) {
  asking_ = true;
  const PromptAnswer answer = prompt_.Ask(question.text, question.buttons, question.icon);
  asking_ = false;
  run_.Answer(question.id, answer);
}

void ProgressPage::HandleRequest(RunRequest request) {
  switch (request) {
    case RunRequest::kNone:
      break;
    case RunRequest::kClose:
      if (waiting_) break;  // already ending
      request_handled_ = true;
      // Queued, so the wait runs from the event loop and this timer keeps
      // refreshing the list meanwhile (a timer never fires inside its own
      // handler).
      QMetaObject::invokeMethod(this, &ProgressPage::reject, Qt::QueuedConnection);
      break;
    case RunRequest::kQuit:
      // The program ends at once; the run engine's end stops the workers.
      request_handled_ = true;
      done(kQuitResult);
      break;
  }
}

void ProgressPage::KeepDownloadInView() {
  if (const int row = download_watch_.RowToShow(run_.table(), model_.rowCount()); row >= 0) {
    list_->scrollTo(model_.index(row, 0), QAbstractItemView::EnsureVisible);
  }
}

void ProgressPage::ShowTick(const TickReport& report) {
  setWindowTitle(QString::fromStdString(report.title));
  ShowTable();
  if (!report.aborted) {
    if (report.follow_row >= 0) FollowRow(*list_, report.follow_row);
    const bool installer_row = report.finished || report.installer_starting;
    if (installer_row && run_.InstallAfterDownload() && model_.rowCount() > 0) {
      list_->scrollTo(model_.index(model_.rowCount() - 1, 0), QAbstractItemView::EnsureVisible);
    }
    ShowProgress(report.verified_bytes);
  }
  if (report.quit_button) {
    cancel_->setText(QString::fromUtf8(kQuitButton));
    run_over_ = true;
  }
  // Set before the message box, whose event loop may run the abort wait.
  if (!report.keep_ticking) ticks_over_ = true;
  if (report.aborted) run_.ShowContinueLaterMessage();
}

void ProgressPage::FollowRow(QTreeView& view, int row) {
  const QAbstractItemModel* model = view.model();
  if (model == nullptr || row < 0 || row >= model->rowCount()) return;
  const QModelIndex index = model->index(row, 0);
  QRect line = view.visualRect(index);
  line.setLeft(0);
  line.setRight(view.viewport()->width());
  view.viewport()->update(line);

  if (row > 2) {
    view.scrollTo(index, QAbstractItemView::EnsureVisible);
    const int row_height = view.visualRect(model->index(0, 0)).height();
    const int top = view.indexAt(QPoint(1, 1)).row();
    const int per_view = row_height > 0 ? view.viewport()->height() / row_height : 0;
    if (top >= 0 && top + per_view / 2 < row) {
      QScrollBar* bar = view.verticalScrollBar();
      const int step =
          view.verticalScrollMode() == QAbstractItemView::ScrollPerItem ? 1 : row_height;
      bar->setValue(bar->value() + step);
    }
  }
  view.scrollTo(index, QAbstractItemView::EnsureVisible);
}

bool ProgressPage::WaitForWorkers() {
  if (waiting_ || !cancel_->isEnabled()) return false;
  waiting_ = true;
  cancel_->setEnabled(false);
  setWindowTitle(QString::fromUtf8(kAborting));
  // Events keep flowing: the download worker may be waiting for the answer
  // to a message box, and the window must repaint.
  run_.WaitForWorkers([] { QCoreApplication::processEvents(); });
  // The last tick comes now, with the elapsed time in the title, and it
  // shows the continue-later message.
  if (!ticks_over_ && !ended_) ShowTick(run_.Tick(windowTitle().toStdString()));
  cancel_->setEnabled(true);
  waiting_ = false;
  return true;
}

void ProgressPage::reject() {
  if (WaitForWorkers()) QDialog::reject();
}

void ProgressPage::accept() {
  // The dialog's OK (Enter) must not stop a download: people press Enter
  // twice to confirm, or a held key repeats. Once the run is over and the
  // button reads "Quit", it ends the page as Quit does.
  if (run_over_) reject();
}

void ProgressPage::done(int result) {
  ended_ = true;
  poll_timer_.stop();
  QDialog::done(result);
}

void ProgressPage::keyPressEvent(QKeyEvent* event) {
  // The page has no OK button; Enter is the dialog's OK command.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace brenvik
