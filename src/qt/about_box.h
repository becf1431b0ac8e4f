#pragma once
// The About box: the application icon, the program's name and version, the
// maker's notice, in a build without a publisher key the line saying that
// catalogues are not signature-checked, and an OK button that closes it.
//
// Threads: the GUI thread only.

#include <QDialog>

class QPushButton;

namespace brenvik {

class AboutBox final : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);

  QPushButton* OkButton() const { return ok_; }

 private:
  QPushButton* ok_ = nullptr;
};

}  // namespace brenvik
