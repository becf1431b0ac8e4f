#include "win32/taskbar_progress.h"

#include <shobjidl.h>

namespace brenvik {
namespace {

TBPFLAG FlagOf(TaskbarState state) {
  switch (state) {
    case TaskbarState::kNone:
      return TBPF_NOPROGRESS;
    case TaskbarState::kNormal:
      return TBPF_NORMAL;
    case TaskbarState::kPaused:
      return TBPF_PAUSED;
    case TaskbarState::kError:
      return TBPF_ERROR;
  }
  return TBPF_NOPROGRESS;
}

}  // namespace

TaskbarProgress::~TaskbarProgress() {
  if (list_ != nullptr) list_->Release();
}

UINT TaskbarProgress::ButtonCreatedMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
  return message;
}

void TaskbarProgress::AcceptButtonCreated(HWND window) {
  ::ChangeWindowMessageFilterEx(window, ButtonCreatedMessage(), MSGFLT_ALLOW, nullptr);
}

TaskbarShare TaskbarProgress::ShareOf(const RunView& view) {
  TaskbarShare share{TaskbarState::kNormal, view.verified_bytes, view.total_bytes};
  switch (view.outcome) {
    case RunOutcome::kNone:
      if (view.aborting) share.state = TaskbarState::kPaused;
      break;
    case RunOutcome::kFailed:
    case RunOutcome::kInstallerFailed:
      share.state = TaskbarState::kError;
      break;
    case RunOutcome::kComplete:
    case RunOutcome::kCancelled:
      share.state = TaskbarState::kNone;
      break;
  }
  // An empty release has no share to show; a red button still says why.
  if (share.total == 0 && share.state != TaskbarState::kError) share.state = TaskbarState::kNone;
  if (share.state == TaskbarState::kNone) share.done = share.total = 0;
  return share;
}

void TaskbarProgress::ButtonCreated(HWND window) { Put(window, shown_); }

void TaskbarProgress::Show(HWND window, const RunView& view) {
  const TaskbarShare share = ShareOf(view);
  if (share == shown_) return;
  shown_ = share;
  Put(window, share);
}

void TaskbarProgress::Put(HWND window, const TaskbarShare& share) {
  if (sink_) {
    sink_(window, share);
  } else {
    PutThroughSystem(window, share);
  }
}

void TaskbarProgress::PutThroughSystem(HWND window, const TaskbarShare& share) {
  if (!list_tried_) {
    list_tried_ = true;
    ITaskbarList3* list = nullptr;
    if (SUCCEEDED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_PPV_ARGS(&list)))) {
      if (SUCCEEDED(list->HrInit())) {
        list_ = list;
      } else {
        list->Release();
      }
    }
  }
  if (list_ == nullptr) return;
  // A failed call (no button yet) is mended by ButtonCreated.
  list_->SetProgressState(window, FlagOf(share.state));
  if (share.state != TaskbarState::kNone) list_->SetProgressValue(window, share.done, share.total);
}

}  // namespace brenvik
