#include "qt/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "config/session_config.h"
#include "qt/dialog_furniture.h"

namespace brenvik {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kAboutCaption));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits units(font());

  auto* icon = new QLabel(this);
  const QRect icon_rect = units.Rect(11, 14, 21, 20);
  const int side = std::min(icon_rect.width(), icon_rect.height());
  icon->setPixmap(AppIcon().pixmap(QSize(side, side), devicePixelRatioF()));
  icon->setAlignment(Qt::AlignCenter);
  icon->setGeometry(icon_rect);

  auto* version = new QLabel(QString::fromUtf8(kAboutVersionLine), this);
  version->setGeometry(units.Rect(40, 10, 200, 10));
  auto* notice = new QLabel(QString::fromUtf8(kAboutNotice), this);
  notice->setGeometry(units.Rect(40, 27, 200, 10));
  if (*kBuiltInPublisherKey == '\0') {
    auto* unsigned_notice = new QLabel(QString::fromUtf8(kAboutUnsignedNotice), this);
    unsigned_notice->setGeometry(units.Rect(40, 40, 210, 10));
  }

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setGeometry(units.Rect(255, 7, 50, 14));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(units.Size(312, 55));
}

}  // namespace brenvik
