#include "qt/dialog_furniture.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <cmath>

#include "platform/prompt.h"
#include "qt/about_box.h"

#ifdef Q_OS_WIN
#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>
#include <map>
#endif

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

#ifdef Q_OS_WIN
namespace {

// The system-menu command of the About entry; Windows keeps the low four
// bits of a system command for itself, so 16 to 31 all mean this entry.
constexpr UINT kAboutCommand = 0x0010;

// Opens the About box for the About entry of any page's system menu.
class SystemMenuFilter final : public QAbstractNativeEventFilter {
 public:
  void Add(QDialog& page) { pages_[reinterpret_cast<HWND>(page.winId())] = &page; }

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override {
    if (type != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message != WM_SYSCOMMAND || (msg->wParam & 0xFFF0) != kAboutCommand) return false;
    const auto found = pages_.find(msg->hwnd);
    if (found == pages_.end() || found->second.isNull()) return false;
    OpenAboutBox(found->second.data());
    *result = 0;
    return true;
  }

 private:
  std::map<HWND, QPointer<QDialog>> pages_;
};

void AddSystemMenuEntry(QDialog& page) {
  static SystemMenuFilter* filter = [] {
    auto* made = new SystemMenuFilter();
    QCoreApplication::instance()->installNativeEventFilter(made);
    return made;
  }();
  const HWND window = reinterpret_cast<HWND>(page.winId());
  HMENU menu = GetSystemMenu(window, FALSE);
  if (menu == nullptr) return;
  const std::wstring text = QString::fromUtf8(kAboutEntry).toStdWString();
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kAboutCommand, text.c_str());
  filter->Add(page);
}

}  // namespace
#endif

QAction* AddAboutEntry(QDialog& page) {
  page.setWindowIcon(AppIcon());
  auto* about = new QAction(QString::fromUtf8(kAboutEntry), &page);
  about->setShortcut(QKeySequence(Qt::Key_F1));
  about->setShortcutContext(Qt::WindowShortcut);
  QObject::connect(about, &QAction::triggered, &page, [&page] { OpenAboutBox(&page); });
  page.addAction(about);
  page.setContextMenuPolicy(Qt::ActionsContextMenu);
#ifdef Q_OS_WIN
  AddSystemMenuEntry(page);
#endif
  return about;
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
