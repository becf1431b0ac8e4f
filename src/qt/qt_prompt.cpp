#include "qt/qt_prompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "qt/dialog_furniture.h"
#include "texts/printable_text.h"

namespace brenvik {

QtPrompt::QtPrompt() = default;

PromptAnswer QtPrompt::Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) {
  if (QThread::currentThread() == gui_thread_.thread()) return AskHere(text, buttons, icon);
  PromptAnswer answer = PromptAnswer::kCancel;
  QMetaObject::invokeMethod(
      &gui_thread_, [&] { answer = AskHere(text, buttons, icon); }, Qt::BlockingQueuedConnection);
  return answer;
}

PromptAnswer QtPrompt::AskHere(const std::string& text, PromptButtons buttons, PromptIcon icon) {
  // Over whichever page is in front, so the box stays with the wizard.
  QWidget* parent = QApplication::activeModalWidget();
  if (parent == nullptr) parent = QApplication::activeWindow();
  QMessageBox box(icon == PromptIcon::kStop ? QMessageBox::Critical : QMessageBox::NoIcon,
                  QString::fromUtf8(kProgramName), QString::fromStdString(PrintableText(text)),
                  QMessageBox::NoButton, parent);
  box.setTextFormat(Qt::PlainText);
  if (buttons == PromptButtons::kRetryCancel) {
    box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Retry);
    box.setEscapeButton(QMessageBox::Cancel);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
  }
  switch (box.exec()) {
    case QMessageBox::Retry:
      return PromptAnswer::kRetry;
    case QMessageBox::Ok:
      return PromptAnswer::kOk;
    default:
      return PromptAnswer::kCancel;
  }
}

}  // namespace brenvik
