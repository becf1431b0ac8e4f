#pragma once
// The run's progress on the page's taskbar button (ITaskbarList3): the
// share of the bytes verified, green while the run goes on, yellow during
// the abort wait, red when the run failed (a download given up, the
// installer not started), and gone once the run is complete or cancelled
// (the button's flash says the rest). The shell tells a window when its
// button exists (the registered "TaskbarButtonCreated" message); the share
// is then shown again, as a button made anew (Explorer restarted) starts
// empty. Where the system has no taskbar list (Wine may lack it, or answer
// with a stub), nothing is shown and the run goes on as before.
//
// Threads: the page's window thread only (the taskbar list is an apartment
// object of that thread's COM apartment).

#include <windows.h>

#include <cstdint>
#include <functional>
#include <utility>

#include "run/run_view.h"

struct ITaskbarList3;

namespace brenvik {

enum class TaskbarState {
  kNone,    // no progress on the button (TBPF_NOPROGRESS)
  kNormal,  // TBPF_NORMAL
  kPaused,  // TBPF_PAUSED
  kError,   // TBPF_ERROR
};

// What the button shows: its state and, unless kNone, `done` of `total`.
struct TaskbarShare {
  TaskbarState state = TaskbarState::kNone;
  uint64_t done = 0;
  uint64_t total = 0;
  bool operator==(const TaskbarShare&) const = default;
};

class TaskbarProgress {
 public:
  // Puts a share on `window`'s button. Tests give their own; empty: the
  // system's taskbar list.
  using Sink = std::function<void(HWND window, const TaskbarShare& share)>;

  TaskbarProgress() = default;
  ~TaskbarProgress();
  TaskbarProgress(const TaskbarProgress&) = delete;
  TaskbarProgress& operator=(const TaskbarProgress&) = delete;

  void SetSink(Sink sink) { sink_ = std::move(sink); }

  // The message the shell sends a window once its taskbar button exists.
  static UINT ButtonCreatedMessage();
  // The share a view puts on the button.
  static TaskbarShare ShareOf(const RunView& view);

  // Lets the message through to `window` also when this program runs with
  // more rights than the shell; call once the window exists.
  static void AcceptButtonCreated(HWND window);
  // The button of `window` was made (again): the share is shown anew.
  void ButtonCreated(HWND window);
  // Shows `view`'s share on `window`'s button when it differs from the
  // one shown.
  void Show(HWND window, const RunView& view);

 private:
  void Put(HWND window, const TaskbarShare& share);
  void PutThroughSystem(HWND window, const TaskbarShare& share);

  Sink sink_;
  ITaskbarList3* list_ = nullptr;
  bool list_tried_ = false;  // the system's list was asked for (once is enough)
  TaskbarShare shown_;
};

}  // namespace brenvik
