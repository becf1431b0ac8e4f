#pragma once
// The setup page ("Step 1 / 2"): draws the setup flow and forwards the
// user's clicks to it.
//
// 500 ms after it is made the page fetches the catalogue. The fetch runs on
// the GUI thread; the transfer callback's idle hook processes events
// meanwhile, so the window repaints and answers while its buttons are
// disabled (which keeps the handlers from running twice). Next hands what
// the flow accepted to the run step, hides the page for as long as that
// runs, and ends the page with the run step's verdict.
//
// Ends with Accepted or Rejected, or with kQuitResult when the catalogue
// cannot be read or the scratch space was refused.
//
// Threads: the GUI thread only.

#include <QDialog>
#include <functional>

#include "setup/setup_flow.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace brenvik {

class Prompt;
class TransferCallback;

class SetupPage final : public QDialog {
  Q_OBJECT

 public:
  // Runs the download step for what Next handed over and returns the
  // progress page's result (QDialog::Accepted means it ended with OK).
  using RunStep = std::function<int(const Handover&)>;

  static constexpr int kQuitResult = -1;
  static constexpr int kStartDelayMs = 500;

  // `flow` is already initialised. `callback` is the one the flow's fetch
  // reports to; the page sets its idle hook for as long as it lives.
  SetupPage(SetupFlow& flow, TransferCallback& callback, Prompt& prompt, RunStep run_step,
            QWidget* parent = nullptr);
  ~SetupPage() override;

  QLabel* InfoText() const { return info_; }
  QLineEdit* LocationField() const { return location_; }
  QPushButton* BrowseButton() const { return browse_; }
  QCheckBox* InstallBox() const { return install_; }
  QPushButton* CancelButton() const { return cancel_; }
  QPushButton* NextButton() const { return next_; }

 public slots:
  // Cancel: ends the page, unless Cancel is disabled (during the fetch), in
  // which case closing the window and Escape do nothing either.
  void reject() override;

 private:
  void BuildControls();
  void OnStartTimer();
  void OnBrowse();
  void OnNext();
  void ShowState();

  SetupFlow& flow_;
  TransferCallback& callback_;
  RunStep run_step_;
  QLabel* info_ = nullptr;
  QLineEdit* location_ = nullptr;
  QPushButton* browse_ = nullptr;
  QCheckBox* install_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* next_ = nullptr;
};

}  // namespace brenvik
