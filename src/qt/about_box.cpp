#include "qt/about_box.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

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

  // Each line starts at its place in the template, or below the line
  // before it when that one needed more room: a text wider than its column
  // (a large font, a high DPI) wraps onto a second line instead of being cut.
  int bottom = 0;
  const auto add_line = [&](const std::string& text, int top_units) {
    auto* label = new QLabel(QString::fromStdString(text), this);
    label->setWordWrap(true);
    const QRect column = units.Rect(40, top_units, 210, 10);
    const int top = std::max(column.top(), bottom + units.Y(3));
    const int height = std::max(column.height(), label->heightForWidth(column.width()));
    label->setGeometry(column.left(), top, column.width(), height);
    bottom = label->geometry().bottom();
  };
  add_line(AboutVersionLine(), 10);
  add_line(kAboutNotice, 27);
  if (*kBuiltInPublisherKey == '\0') add_line(kAboutUnsignedNotice, 40);

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setGeometry(units.Rect(255, 7, 50, 14));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  const QSize template_size = units.Size(312, 55);
  setFixedSize(template_size.width(), std::max(template_size.height(), bottom + units.Y(7)));
}

}  // namespace brenvik
