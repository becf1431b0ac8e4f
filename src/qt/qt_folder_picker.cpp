#include "qt/qt_folder_picker.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>

namespace brenvik {

std::optional<std::string> QtFolderPicker::PickFolder(const std::string& title) {
  // The title is two lines; a title bar shows one, so the break becomes a
  // blank there.
  QString caption = QString::fromStdString(title);
  caption.replace(QLatin1Char('\n'), QLatin1Char(' '));
  const QString folder = QFileDialog::getExistingDirectory(
      QApplication::activeWindow(), caption, QDir::homePath(), QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(folder).toStdString();
}

}  // namespace brenvik
