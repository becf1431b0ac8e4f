#include "qt/setup_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QThread>
#include <QTimer>

#include "qt/dialog_furniture.h"
#include "texts/setup_texts.h"
#include "transfer/transfer_callback.h"

namespace brenvik {

SetupPage::SetupPage(SetupFlow& flow, TransferCallback& callback, Prompt& prompt, RunStep run_step,
                     QWidget* parent)
    : QDialog(parent), flow_(flow), callback_(callback), run_step_(std::move(run_step)) {
  // A window of its own (with its own taskbar entry) that can be minimised.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8(kSetupCaption));
  BuildControls();
  AddAboutEntry(*this);

  flow_.SetChangeListener([this] { ShowState(); });
  ShowState();
  AddTooltips(this,
              {{browse_, kBrowseTooltip},
               {location_, kLocationTooltip},
               {install_, kInstallTooltip},
               {next_, kNextTooltip},
               {cancel_, kSetupCancelTooltip}},
              prompt);

  // Only the fetch on this thread may run the event loop; a transfer on
  // any other thread never does.
  callback_.SetIdleHook([] {
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
      QCoreApplication::processEvents();
    }
  });
  QTimer::singleShot(kStartDelayMs, this, &SetupPage::OnStartTimer);

  CentreOnScreen(*this);
}

SetupPage::~SetupPage() {
  callback_.SetIdleHook({});
  flow_.SetChangeListener({});
}

void SetupPage::BuildControls() {
  const DialogUnits units(font());

  AddSidePicture(*this, units.Rect(7, 7, 65, 149));

  QLabel* heading = SunkenText(QString::fromUtf8(kSetupHeading), this);
  heading->setAlignment(Qt::AlignCenter);
  heading->setGeometry(units.Rect(78, 7, 236, 16));

  info_ = new QLabel(this);
  info_->setTextFormat(Qt::PlainText);
  info_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  info_->setWordWrap(true);
  info_->setGeometry(units.Rect(78, 27, 236, 50));

  // The group boxes only frame their controls, as siblings drawn beneath.
  auto* location_group = new QGroupBox(QString::fromUtf8(kLocationGroup), this);
  location_group->setGeometry(units.Rect(78, 80, 236, 30));

  location_ = new QLineEdit(this);
  location_->setReadOnly(true);
  location_->setGeometry(units.Rect(85, 92, 204, 13));

  browse_ = new QPushButton(this);
  browse_->setIcon(FolderIcon());
  browse_->setGeometry(units.Rect(292, 91, 18, 15));
  const int icon_side = std::max(8, std::min(browse_->width(), browse_->height()) - 8);
  browse_->setIconSize(QSize(icon_side, icon_side));
  browse_->setAutoDefault(false);

  auto* option_group = new QGroupBox(QString::fromUtf8(kOptionGroup), this);
  option_group->setGeometry(units.Rect(78, 119, 236, 32));

  install_ = new QCheckBox(QString::fromUtf8(kInstallBoxText), this);
  install_->setGeometry(units.Rect(89, 131, 225, 13));

  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancel_->setGeometry(units.Rect(169, 162, 68, 14));
  cancel_->setAutoDefault(false);

  next_ = new QPushButton(QString::fromUtf8(kNextButton), this);
  next_->setGeometry(units.Rect(246, 162, 68, 14));
  next_->setDefault(true);

  // Raised above the group boxes that frame them.
  location_->raise();
  browse_->raise();
  install_->raise();

  setFixedSize(units.Size(321, 183));

  connect(browse_, &QPushButton::clicked, this, &SetupPage::OnBrowse);
  connect(next_, &QPushButton::clicked, this, &SetupPage::OnNext);
  connect(cancel_, &QPushButton::clicked, this, &SetupPage::reject);
  connect(install_, &QCheckBox::clicked, this,
          [this](bool checked) { flow_.SetInstallChecked(checked); });
}

void SetupPage::ShowState() {
  const SetupState& state = flow_.State();
  info_->setText(QString::fromStdString(state.info_text));
  location_->setText(QString::fromStdString(state.location));
  next_->setEnabled(state.next_enabled);
  cancel_->setEnabled(state.cancel_enabled);
  browse_->setEnabled(state.browse_enabled);
  install_->setEnabled(state.install_enabled);
  const QSignalBlocker quiet(install_);
  install_->setChecked(state.install_checked);
}

void SetupPage::OnStartTimer() {
  switch (flow_.FetchCatalogue()) {
    case FetchOutcome::kReady:
    case FetchOutcome::kGaveUp:
      break;
    case FetchOutcome::kQuit:
      done(kQuitResult);
      break;
  }
}

void SetupPage::OnBrowse() { flow_.Browse(); }

void SetupPage::OnNext() {
  const std::optional<Handover> handover = flow_.Next();
  if (!handover) return;  // no room there: the page stays as it was
  hide();
  const int result = run_step_(*handover);
  if (result == QDialog::Accepted) {
    QDialog::accept();
  } else {
    QDialog::reject();
  }
}

void SetupPage::reject() {
  if (!cancel_->isEnabled()) return;
  QDialog::reject();
}

}  // namespace brenvik
