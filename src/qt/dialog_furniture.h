#pragma once
// The furniture that both wizard pages share: the program's pictures and
// application icon, the placement of controls given in dialog units, the
// "&About Brenvik..." entry that opens the About box, and the tooltips.
//
// The About entry sits in the system menu on Windows. Window managers
// elsewhere offer no menu a program can add to, so there the entry is the
// page's context menu and F1.
//
// Threads: the GUI thread only.

#include <QIcon>
#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>
#include <initializer_list>

#include "texts/window_texts.h"

class QAction;
class QDialog;
class QFont;
class QLabel;
class QWidget;

namespace brenvik {

class Prompt;
class Session;

// Registers the pictures drawn for the program (once per process; any later
// call does nothing). The pages call it; so may a program before it uses
// ResourcePath().
void LoadResources();

// ":/res/<file>".
QString ResourcePath(const char* file);
QIcon AppIcon();
// The folder picture of the setup page's browse button.
QIcon FolderIcon();
// The side picture scaled to cover `size` (logical pixels), centred and cut
// to fit, for a screen with `device_pixel_ratio`.
QPixmap SidePicture(QSize size, qreal device_pixel_ratio);

// Dialog units of a page template turned into pixels for the page's font: a
// horizontal unit is a quarter of the font's average character width, a
// vertical unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  DialogUnits(int base_width, int base_height)
      : base_width_(base_width), base_height_(base_height) {}

  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;
  int BaseWidth() const { return base_width_; }
  int BaseHeight() const { return base_height_; }

 private:
  int base_width_;
  int base_height_;
};

// Gives `page` the application icon and the About entry; the entry opens
// the About box over the page. Returns the entry's action (the context-menu
// item, with F1 as its shortcut).
QAction* AddAboutEntry(QDialog& page);
// Adds "Limit download speed…" to the page's window menu: it asks for a
// limit (showing the one set) and gives it to the session, which applies
// it at once and keeps it; an answer that is no limit is said and asked
// again. Returns the entry.
QAction* AddSpeedLimitEntry(QDialog& page, Session& session, Prompt& prompt);

// A sunken static text: plain text, top left, wrapped at word ends.
QLabel* SunkenText(const QString& text, QWidget* parent);
// The side picture in a sunken frame at `geometry` of `page`.
QLabel* AddSidePicture(QWidget& page, const QRect& geometry);

// Places `page` in the middle of the primary screen.
void CentreOnScreen(QWidget& page);

// Shows the About box modally over `parent`.
void OpenAboutBox(QWidget* parent);

struct Tooltip {
  QWidget* control;
  const char* text;
};

// Gives each control its tooltip. The tooltips cannot be made when the page
// or one of the controls is missing: then "Couldn't create tooltip!" is
// shown (OK button), no control gets a tooltip, the page goes on without
// them, and the result is false.
bool AddTooltips(QWidget* page, std::initializer_list<Tooltip> tools, Prompt& prompt);

}  // namespace brenvik
