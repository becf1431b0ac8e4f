#include "run/run_driver.h"

#include <algorithm>
#include <climits>

#include "platform/prompt.h"
#include "run/run_engine.h"
#include "texts/run_texts.h"

namespace brenvik {

RunDriver::RunDriver(RunEngine& run, Prompt& prompt, RunFace& face)
    : run_(run), prompt_(prompt), face_(face), title_(kRunCaption) {}

std::string RunDriver::LocationLine() const { return run_.LocationLine(); }

bool RunDriver::Succeeded() const { return run_.Succeeded(); }

std::string RunDriver::TitleWithElapsed(const std::string& title, int64_t elapsed) {
  std::string base = title;
  if (const size_t dash = base.find('-'); dash != std::string::npos) {
    base.resize(dash == 0 ? 0 : dash - 1);
  }
  const long long seconds = elapsed < 0 ? 0 : static_cast<long long>(elapsed);
  return base +
         Format(" - %02lld:%02lld:%02lld", seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
}

void RunDriver::WatchChanges(std::function<void(const RunChange&)> listener) {
  JobTable& table = run_.table();
  if (!listener) {
    table.SetChangeListener({});
    return;
  }
  table.SetChangeListener([&table, listener = std::move(listener)](int row) {
    RunChange change;
    if (row >= 0) {
      change.rows.emplace_back(row, table.Row(row));
    } else if (row == JobTable::kWholeTable) {
      std::vector<JobRow> rows = table.Snapshot();
      change.rows.reserve(rows.size());
      for (size_t i = 0; i < rows.size(); ++i) {
        change.rows.emplace_back(static_cast<int>(i), std::move(rows[i]));
      }
    }
    if (row < 0) change.status_line = table.StatusLineWithKind();
    listener(change);
  });
}

void RunDriver::Start() {
  run_.Start();
  const uint64_t total = run_.TotalBytes();
  while (progress_shift_ < 63 && (total >> progress_shift_) > static_cast<uint64_t>(INT_MAX)) {
    ++progress_shift_;
  }
  RunView view = NextView();
  Finish(view);
  face_.Show(std::move(view));
}

RunView RunDriver::NextView() {
  const JobTable& table = run_.table();
  RunView view;
  view.title = title_;
  // Only the rows changed since the last view are read: a run of 100,000
  // rows changes a few of them between two polls.
  RowChanges changes = table.ChangesSince(rows_read_ ? rows_revision_ : 0);
  rows_revision_ = changes.revision;
  if (!rows_read_ || changes.whole_table) {
    rows_read_ = true;
    view.rows.whole_table = true;
    view.rows.all = table.Snapshot();
    row_count_ = static_cast<int>(view.rows.all.size());
  } else {
    view.rows.rows = std::move(changes.rows);
  }
  view.row_count = row_count_;
  const StatusLineValue line = table.StatusLineWithKind();
  view.status_line = line.text;
  if (line.kind == StatusLineKind::kStatistics) view.statistics = line.statistics;
  view.download_row = table.CurrentDownloadRow();
  view.show_row = DownloadRowToShow(view.download_row);
  return view;
}

int RunDriver::DownloadRowToShow(int row) {
  if (row < 0 || row >= row_count_) return -1;
  const JobRow shown = run_.table().Row(row);
  // A progress report gives the row the busy image and a new percentage.
  if (shown.image != RowImage::kBusy) return -1;
  if (row == download_seen_ && shown.status == download_status_seen_) return -1;
  download_seen_ = row;
  download_status_seen_ = shown.status;
  return row;
}

void RunDriver::ApplyTick(const TickReport& report, RunView& view) {
  title_ = TitleWithElapsed(title_, report.elapsed_seconds);
  view.title = title_;
  view.tick = true;
  if (!report.aborted) {
    view.follow_row = report.follow_row;
    const bool installer_row = report.finished || report.installer_starting;
    if (installer_row && run_.InstallAfterDownload() && row_count_ > 0) {
      view.show_row = row_count_ - 1;
    }
    verified_ = report.verified_bytes;
    progress_ = static_cast<int>(
        std::min<uint64_t>(verified_ >> progress_shift_, static_cast<uint64_t>(INT_MAX)));
  }
  if (report.finished) {
    phase_ = RunPhase::kFinished;
  } else if (report.aborted || report.quit_button) {
    phase_ = RunPhase::kAborted;
  }
  if (!report.keep_ticking) ticks_over_ = true;
}

RunOutcome RunDriver::Outcome() const {
  switch (phase_) {
    case RunPhase::kRunning:
      return RunOutcome::kNone;
    case RunPhase::kFinished:
      return run_.Succeeded() ? RunOutcome::kComplete : RunOutcome::kInstallerFailed;
    case RunPhase::kAborted:
      // A run stopped without a Cancel never began (its catalogue or folder
      // would not do); one stopped after a worker gave up a download failed.
      return cancel_asked_ && !gave_up_ ? RunOutcome::kCancelled : RunOutcome::kFailed;
  }
  return RunOutcome::kNone;
}

void RunDriver::Finish(RunView& view) const {
  view.phase = phase_;
  view.outcome = Outcome();
  view.button = Over() ? kQuitButton : kCancelButton;
  view.button_enabled = !waiting_;
  view.aborting = waiting_;
  view.verified_bytes = verified_;
  view.total_bytes = run_.TotalBytes();
  view.progress = progress_;
  // An empty range would make a bar a busy indicator.
  view.progress_range = std::max(
      1, static_cast<int>(std::min<uint64_t>(view.total_bytes >> progress_shift_, INT_MAX)));
}

void RunDriver::WaitForEnd(std::chrono::milliseconds timeout) const { run_.WaitForEnd(timeout); }

void RunDriver::Poll() {
  // A box of this driver runs its own loop, in which the face's timer goes
  // on firing; the run waits until the answer is in.
  if (busy_ || waiting_ || closed_) return;
  busy_ = true;
  const RunSnapshot snapshot = run_.Poll();
  RunView view = NextView();
  const bool tick = snapshot.tick && !ticks_over_;
  if (tick) ApplyTick(*snapshot.tick, view);
  Finish(view);
  face_.Show(std::move(view));
  if (const std::optional<Question>& question = snapshot.question) {
    run_.Answer(question->id, prompt_.Ask(question->text, question->buttons, question->icon));
  }
  if (tick && snapshot.tick->aborted) run_.ShowContinueLaterMessage();
  busy_ = false;
  switch (snapshot.request) {
    case RunRequest::kQuit:
      // The program ends at once; the run engine's end stops the workers.
      CloseFace(RunClose::kQuit);
      return;
    case RunRequest::kClose:
      gave_up_ = true;
      cancel_pending_ = true;
      break;
    case RunRequest::kNone:
      break;
  }
  if (cancel_pending_) Cancel();
}

void RunDriver::Cancel() {
  if (closed_ || waiting_) return;
  if (phase_ == RunPhase::kRunning) cancel_asked_ = true;
  // A box is up: ending now would take it away unanswered.
  if (busy_) {
    cancel_pending_ = true;
    return;
  }
  cancel_pending_ = false;
  waiting_ = busy_ = true;
  title_ = kAborting;
  const auto show = [this] {
    RunView view = NextView();
    Finish(view);
    face_.Show(std::move(view));
  };
  show();
  // The face keeps drawing, and a worker waiting for an answer gets its
  // decline, until every worker has stopped.
  run_.WaitForWorkers([&] {
    face_.KeepAlive();
    if (!closed_) show();
  });
  waiting_ = false;
  // The last tick comes now, with the elapsed time in the title, and it
  // shows the continue-later message.
  if (!ticks_over_ && !closed_) {
    const TickReport report = run_.Tick();
    RunView view = NextView();
    ApplyTick(report, view);
    Finish(view);
    face_.Show(std::move(view));
    if (report.aborted) run_.ShowContinueLaterMessage();
  }
  busy_ = false;
  CloseFace(RunClose::kCancelled);
}

void RunDriver::Confirm() {
  if (Over()) Cancel();
}

void RunDriver::CloseFace(RunClose how) {
  if (closed_) return;
  closed_ = true;
  face_.Close(how);
}

}  // namespace brenvik
