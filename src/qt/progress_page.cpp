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

#include "qt/dialog_furniture.h"
#include "texts/printable_text.h"
#include "texts/run_texts.h"

namespace brenvik {

ProgressPage::ProgressPage(RunEngine& run, Prompt& prompt, QWidget* parent)
    : QDialog(parent), driver_(run, prompt, *this), notice_(*this) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8(kRunCaption));
  BuildControls();
  AddAboutEntry(*this);
  CentreOnScreen(*this);
  location_->setText(QString::fromStdString(PrintableText(driver_.LocationLine())));

  driver_.Start();

  AddTooltips(this,
              {{progress_, kProgressTooltip}, {list_, kTableTooltip}, {cancel_, kCancelTooltip}},
              prompt);

  poll_timer_.setInterval(kPollMs);
  connect(&poll_timer_, &QTimer::timeout, this, [this] { driver_.Poll(); });
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

void ProgressPage::Show(RunView view) {
  if (ended_) return;
  setWindowTitle(QString::fromStdString(view.title));
  model_.Apply(std::move(view.rows));
  status_->setText(QString::fromStdString(view.status_line));
  if (progress_->maximum() != view.progress_range) progress_->setRange(0, view.progress_range);
  progress_->setValue(view.progress);
  if (view.follow_row >= 0) FollowRow(*list_, view.follow_row);
  if (view.show_row >= 0 && view.show_row < model_.rowCount()) {
    list_->scrollTo(model_.index(view.show_row, 0), QAbstractItemView::EnsureVisible);
  }
  cancel_->setText(QString::fromUtf8(view.button));
  cancel_->setEnabled(view.button_enabled);
  // The run is over, however it ended: a window the user turned away from
  // asks for attention, and the desktop says how the run ended.
  if (view.phase != RunPhase::kRunning) notice_.RunEnded(view.outcome);
}

void ProgressPage::KeepAlive() { QCoreApplication::processEvents(); }

void ProgressPage::Close(RunClose how) {
  done(how == RunClose::kQuit ? kQuitResult : QDialog::Rejected);
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

void ProgressPage::reject() { driver_.Cancel(); }

void ProgressPage::accept() { driver_.Confirm(); }

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
