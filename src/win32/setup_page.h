#pragma once
// The setup page ("Step 1 / 2", dialog template IDD_SETUP_PAGE): draws the
// setup flow and forwards the user's clicks to it.
//
// 500 ms after it opens the page fetches the catalogue (timer
// IDT_SETUP_START). The fetch runs on the window thread; the transfer
// callback's idle hook dispatches the thread's messages meanwhile, so the
// window repaints and answers while its buttons are disabled (which keeps
// the handlers from running twice). Next (IDOK, also Enter) hands what the
// flow accepted to the run step, hides the page for as long as that runs,
// and ends the page with the run step's verdict.
//
// Ends with IDOK or IDCANCEL, or with kQuitResult when the catalogue cannot
// be read or the scratch space was refused.
//
// Threads: the window thread only.

#include <windows.h>

#include <functional>

#include "setup/setup_flow.h"
#include "win32/dialog_furniture.h"

namespace brenvik {

class Prompt;
class TransferCallback;

class SetupPage final : public DialogPage {
 public:
  // Runs the download step for what Next handed over and returns the
  // progress page's result (IDOK means it ended with OK).
  using RunStep = std::function<INT_PTR(const Handover&)>;

  static constexpr INT_PTR kQuitResult = IDABORT;
  static constexpr UINT kStartDelayMs = 500;

  // `flow` is already initialised. `callback` is the one the flow's fetch
  // reports to; the page sets its idle hook for as long as it lives.
  SetupPage(SetupFlow& flow, TransferCallback& callback, Prompt& prompt, RunStep run_step);
  ~SetupPage() override;

  // Opens the page and returns once it has ended (kNotOpened when it could
  // not be made).
  INT_PTR Run();

 private:
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) override;
  void OnInitDialog();
  void ShowFolderIcon(UINT dpi) const;
  bool OnCommand(int id, int notification);
  void OnStartTimer();
  void OnNext();
  void ShowState();

  SetupFlow& flow_;
  TransferCallback& callback_;
  Prompt& prompt_;
  RunStep run_step_;
  DWORD window_thread_ = 0;
};

}  // namespace brenvik
