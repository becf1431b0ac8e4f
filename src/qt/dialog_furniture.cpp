#include "qt/dialog_furniture.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <cmath>

#include "catalogue/speed_limit_file.h"
#include "platform/prompt.h"
#include "qt/about_box.h"
#include "session/session.h"

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterPictures() { Q_INIT_RESOURCE(brenvik); }

namespace brenvik {

void LoadResources() {
  static const bool loaded = [] {
    RegisterPictures();
    return true;
  }();
  (void)loaded;
}

QString ResourcePath(const char* file) {
  return QStringLiteral(":/res/") + QString::fromUtf8(file);
}

QIcon AppIcon() {
  LoadResources();
  return QIcon(ResourcePath("app_icon.svg"));
}

QIcon FolderIcon() {
  LoadResources();
  return QIcon(ResourcePath("folder.svg"));
}

QPixmap SidePicture(QSize size, qreal device_pixel_ratio) {
  LoadResources();
  QSvgRenderer renderer(ResourcePath("side_picture.svg"));
  QPixmap pixmap(size * device_pixel_ratio);
  pixmap.setDevicePixelRatio(device_pixel_ratio);
  pixmap.fill(Qt::black);
  if (!renderer.isValid() || size.isEmpty()) return pixmap;
  // Scale to cover the whole frame and cut the overhang evenly on both
  // sides, so the picture keeps its proportions in any frame.
  const QSizeF picture = renderer.defaultSize();
  const qreal scale = std::max(size.width() / picture.width(), size.height() / picture.height());
  const QSizeF drawn = picture * scale;
  const QRectF target((size.width() - drawn.width()) / 2, (size.height() - drawn.height()) / 2,
                      drawn.width(), drawn.height());
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, target);
  return pixmap;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average width of the 52 letters, rounded, is what dialog templates
  // are measured in.
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  base_width_ = std::max(1, (letters / 26 + 1) / 2);
  base_height_ = std::max(1, metrics.height());
}

int DialogUnits::X(int units) const {
  return static_cast<int>(std::lround(units * base_width_ / 4.0));
}

int DialogUnits::Y(int units) const {
  return static_cast<int>(std::lround(units * base_height_ / 8.0));
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  // Both edges are converted, so neighbouring controls never overlap or
  // drift apart by rounding.
  const int left = X(x);
  const int top = Y(y);
  return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

QSize DialogUnits::Size(int width, int height) const { return QSize(X(width), Y(height)); }

QLabel* SunkenText(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(true);
  label->setIndent(3);
  return label;
}

QLabel* AddSidePicture(QWidget& page, const QRect& geometry) {
  auto* picture = new QLabel(&page);
  picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  picture->setGeometry(geometry);
  picture->setPixmap(SidePicture(picture->contentsRect().size(), page.devicePixelRatioF()));
  return picture;
}

void CentreOnScreen(QWidget& page) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = page.rect();
  frame.moveCenter(screen->availableGeometry().center());
  page.move(frame.topLeft());
}

void OpenAboutBox(QWidget* parent) {
  AboutBox box(parent);
  box.exec();
}

QAction* AddAboutEntry(QDialog& page) {
  page.setWindowIcon(AppIcon());
  auto* about = new QAction(QString::fromUtf8(kAboutEntry), &page);
  about->setShortcut(QKeySequence(Qt::Key_F1));
  about->setShortcutContext(Qt::WindowShortcut);
  QObject::connect(about, &QAction::triggered, &page, [&page] { OpenAboutBox(&page); });
  page.addAction(about);
  page.setContextMenuPolicy(Qt::ActionsContextMenu);
  return about;
}

QAction* AddSpeedLimitEntry(QDialog& page, Session& session, Prompt& prompt) {
  auto* entry = new QAction(QString::fromUtf8(kSpeedLimitEntry), &page);
  QObject::connect(entry, &QAction::triggered, &page, [&page, &session, &prompt] {
    QString text = QString::fromStdString(RateText(session.SpeedLimit()));
    for (;;) {
      bool ok = false;
      text = QInputDialog::getText(&page, QString::fromUtf8(kSpeedLimitCaption),
                                   QString::fromUtf8(kSpeedLimitQuestion), QLineEdit::Normal, text,
                                   &ok);
      if (!ok) return;
      const std::string answer = text.trimmed().toStdString();
      if (session.SetSpeedLimit(answer)) return;
      prompt.Ask(Format(kSpeedLimitRefusedFormat, answer.c_str()), PromptButtons::kOk,
                 PromptIcon::kStop);
    }
  });
  page.addAction(entry);
  page.setContextMenuPolicy(Qt::ActionsContextMenu);
  return entry;
}

bool AddTooltips(QWidget* page, std::initializer_list<Tooltip> tools, Prompt& prompt) {
  bool complete = page != nullptr;
  for (const Tooltip& tool : tools) complete = complete && tool.control != nullptr;
  if (!complete) {
    prompt.Ask(kTooltipError, PromptButtons::kOk, PromptIcon::kNone);
    return false;
  }
  for (const Tooltip& tool : tools) {
    const QString text = QString::fromUtf8(tool.text);
    tool.control->setToolTip(text);
    // A list shows its rows in a viewport of its own, which asks for its
    // own tooltip.
    if (auto* area = qobject_cast<QAbstractScrollArea*>(tool.control)) {
      area->viewport()->setToolTip(text);
    }
  }
  return true;
}

}  // namespace brenvik
