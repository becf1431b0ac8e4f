#include "terminal/progress_console.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string_view>

#include "terminal/console.h"
#include "texts/printable_text.h"
#include "texts/row_text.h"
#include "texts/run_texts.h"
#include "texts/share.h"

namespace brenvik {

namespace {

constexpr int kMostRowsShown = 8;
// Lines of the live area besides the rows: title, header, bar, statistics, hint.
constexpr int kFixedLiveLines = 5;
// Lines kept above the live area for questions and other output.
constexpr int kLinesAbove = 4;
constexpr int kNarrowestLive = 30;

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// One display column per code point: good enough for names and texts.
size_t DisplayWidth(std::string_view text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuationByte(c); }));
}

// `text` made printable on one line (catalogue names and server texts reach
// the terminal here) and cut to `width` columns at a code-point boundary;
// `pad` fills it up to `width` with blanks.
std::string Fit(std::string_view text, size_t width, bool pad = false) {
  std::string shown = PrintableLine(text);
  size_t columns = 0;
  size_t end = 0;
  while (end < shown.size()) {
    size_t next = end + 1;
    while (next < shown.size() && IsContinuationByte(shown[next])) ++next;
    if (columns == width) break;
    ++columns;
    end = next;
  }
  shown.resize(end);
  if (pad && columns < width) shown.append(width - columns, ' ');
  return shown;
}

char Marker(RowImage image) {
  switch (image) {
    case RowImage::kBusy:
      return '>';
    case RowImage::kChecking:
      return '~';
    case RowImage::kDone:
      return '+';
    case RowImage::kIdle:
      break;
  }
  return ' ';
}

// The few terminal commands the live area needs (ECMA-48 / VT100).
constexpr const char* kSaveCursor = "\0337";
constexpr const char* kRestoreCursor = "\0338";
constexpr const char* kClearLine = "\033[2K";
constexpr const char* kWholeScreenScrolls = "\033[r";

std::string CursorUp(int rows) { return "\033[" + std::to_string(rows) + "A"; }

std::string CursorTo(int row) { return "\033[" + std::to_string(row) + ";1H"; }

}  // namespace

int FirstShownRow(int count, int window, int follow, int download) {
  if (window <= 0 || count <= window) return 0;
  const int last_start = count - window;
  // Nothing left to follow: the end of the table.
  int first = follow < 0 ? last_start : std::clamp(follow - window / 2, 0, last_start);
  if (download >= 0 && download < count) {
    if (download < first) first = download;
    if (download >= first + window) first = download - window + 1;
  }
  return first;
}

int RunningDownloadRow(const std::vector<JobRow>& rows, int current) {
  if (current < 0 || static_cast<size_t>(current) >= rows.size()) return -1;
  // A progress report gives the row the busy image; the check that follows
  // the download gives it another.
  return rows[static_cast<size_t>(current)].image == RowImage::kBusy ? current : -1;
}

std::string ProgressBar(uint64_t done, uint64_t total, int width) {
  const std::string number = " " + std::to_string(ShareOf(done, total, 100)) + " %";
  const int inside = std::max(0, width - 2 - static_cast<int>(number.size()));
  const auto filled = static_cast<int>(ShareOf(done, total, static_cast<uint64_t>(inside)));
  return "[" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(inside - filled), '-') + "]" + number;
}

std::vector<std::string> RenderLiveView(const LiveView& view, int columns) {
  const size_t usable = static_cast<size_t>(std::max(columns - 1, 20));
  std::vector<std::string> lines;
  lines.push_back(Fit(view.title, usable));

  const int count = static_cast<int>(view.rows.size());
  const int window = std::clamp(view.row_window, 0, count);
  const int first = FirstShownRow(count, window, view.follow_row, view.download_row);
  size_t name_width = DisplayWidth(kFileColumnHeader);
  for (int i = first; i < first + window; ++i) {
    name_width =
        std::max(name_width, DisplayWidth(PrintableLine(view.rows[static_cast<size_t>(i)].name)));
  }
  name_width = std::min(name_width, (usable - 4) / 2);

  std::string header = "  " + Fit(kFileColumnHeader, name_width, true) + "  " + kStatusColumnHeader;
  if (window < count) {
    header += "  (" + std::to_string(first + 1) + "-" + std::to_string(first + window) + " of " +
              std::to_string(count) + ")";
  }
  lines.push_back(Fit(header, usable));
  for (int i = first; i < first + window; ++i) {
    const JobRow& row = view.rows[static_cast<size_t>(i)];
    const std::string line = std::string(1, Marker(row.image)) + " " +
                             Fit(row.name, name_width, true) + "  " +
                             PrintableLine(RowText(row.status));
    lines.push_back(Fit(line, usable));
  }
  lines.push_back(ProgressBar(view.verified_bytes, view.total_bytes, static_cast<int>(usable)));
  lines.push_back(Fit(view.status_line, usable));
  lines.push_back(Fit(view.hint, usable));
  return lines;
}

// Prints the rows' status changes in line mode. Shared with the run's
// change listener, so a worker that is still running when the console goes
// away finds it alive (and closed).
struct ProgressConsole::LinePrinter {
  explicit LinePrinter(Console& console) : console(console) {}

  // A change as the run tells it, on the thread that made it. Only the
  // changed rows come: a table of thousands of rows changes many times per
  // file.
  void OnChange(const RunChange& change) {
    // One change at a time, in the order seen: a late older text would
    // otherwise print twice.
    std::lock_guard lock(mutex);
    if (closed) return;
    for (const auto& [index, row] : change.rows) Compare(index, row, pending);
    if (change.status_line) CompareStatusLine(*change.status_line, pending);
    // Printed by the face's next look (Flush), in one piece with whatever
    // else came meanwhile: a release of many small files changes thousands
    // of rows a second. Only a long wait for the face prints from here.
    if (pending.size() >= kMostPendingBytes) PrintPending();
  }

  // On the face's thread: prints what the changes since the last call said.
  void Flush() {
    std::lock_guard lock(mutex);
    if (!closed) PrintPending();
  }

  void PrintPending() {  // under the mutex
    if (pending.empty()) return;
    console.Print(pending);
    pending.clear();
  }

  void Compare(int index, const JobRow& row, std::string& out) {
    if (seen.size() <= static_cast<size_t>(index)) seen.resize(static_cast<size_t>(index) + 1);
    RowStatus& shown = seen[static_cast<size_t>(index)];
    if (row.status == shown) return;
    shown = row.status;
    if (shown.phase == RowPhase::kNone || shown.IsRunningPercentage()) return;
    out += PrintableLine(row.name) + ": " + PrintableLine(RowText(shown)) + "\n";
  }

  void CompareStatusLine(const StatusLineValue& line, std::string& out) {
    if (line.text == status_line.text) return;
    status_line = line;
    if (status_line.kind == StatusLineKind::kStatistics) {
      statistics = status_line.text;
    } else if (!status_line.text.empty()) {
      if (!statistics.empty()) out += statistics + "\n";
      out += PrintableLine(status_line.text) + "\n";
    }
  }

  // The statistics line as it stands, for a log that shows how a long
  // download goes.
  void PrintStatistics() {
    std::lock_guard lock(mutex);
    if (closed) return;
    if (status_line.kind == StatusLineKind::kStatistics) pending += status_line.text + "\n";
    PrintPending();
  }

  void Close(const std::string& closing) {
    std::lock_guard lock(mutex);
    if (closed) return;
    std::string out = std::move(pending) + closing;
    if (status_line.kind == StatusLineKind::kStatistics) out += status_line.text + "\n";
    closed = true;
    console.Print(out);
  }

  static constexpr size_t kMostPendingBytes = 64 * 1024;

  Console& console;
  std::mutex mutex;
  bool closed = false;
  std::string pending;  // lines not printed yet
  std::vector<RowStatus> seen;
  StatusLineValue status_line;
  std::string statistics;
};

// The bottom lines of the screen, kept out of the scrolling region.
class ProgressConsole::LiveArea {
 public:
  LiveArea(Console& console, int lines, TerminalSize size)
      : console_(console), lines_(lines), size_(size) {
    // Make room below the cursor, then confine scrolling to the lines above
    // the area. Setting the region homes the cursor, hence save and restore.
    console_.PrintTerminalCommands(std::string(static_cast<size_t>(lines_), '\n') +
                                   CursorUp(lines_) + kSaveCursor + Region() + kRestoreCursor);
  }
  ~LiveArea() { Leave(); }
  LiveArea(const LiveArea&) = delete;
  LiveArea& operator=(const LiveArea&) = delete;

  int Columns() const { return size_.columns; }

  void Draw(const std::vector<std::string>& lines) {
    if (!active_) return;
    std::string out = kSaveCursor;
    if (const auto size = console_.OutputSize();
        size && size->rows != size_.rows && size->rows > lines_ + 1) {
      size_ = *size;
      out += Region();  // the terminal was resized
    } else if (size) {
      size_.columns = size->columns;
    }
    const int top = size_.rows - lines_ + 1;
    for (int i = 0; i < lines_; ++i) {
      out += CursorTo(top + i) + kClearLine;
      if (static_cast<size_t>(i) < lines.size()) out += lines[static_cast<size_t>(i)];
    }
    out += kRestoreCursor;
    // The lines were made printable when they were rendered.
    console_.PrintTerminalCommands(out);
  }

  // Scrolling over the whole screen again, the cursor below the area.
  void Leave() {
    if (!active_) return;
    active_ = false;
    console_.PrintTerminalCommands(kWholeScreenScrolls + CursorTo(size_.rows) + "\n");
  }

 private:
  // Scrolling confined to the lines above the area.
  std::string Region() const { return "\033[1;" + std::to_string(size_.rows - lines_) + "r"; }

  Console& console_;
  const int lines_;
  TerminalSize size_;
  bool active_ = true;
};

ProgressConsole::ProgressConsole(Console& console, ProgressMode mode,
                                 std::chrono::milliseconds statistics_every)
    : console_(console),
      mode_(mode),
      title_(kRunCaption),
      hint_(kTerminalCancelHint),
      statistics_every_(statistics_every) {
  if (mode_ == ProgressMode::kLive) {
    const auto size = console_.OutputSize();
    if (!size || size->rows < kFixedLiveLines + kLinesAbove + 1 || size->columns < kNarrowestLive) {
      mode_ = ProgressMode::kLines;  // too small to keep an area
    }
  }
  // Until the first tick, the view starts at the top of the table.
  follow_row_ = 0;
}

ProgressConsole::~ProgressConsole() {
  if (live_) live_->Leave();
  if (printer_) {
    std::lock_guard lock(printer_->mutex);
    printer_->closed = true;
  }
}

std::function<void(const RunChange&)> ProgressConsole::Begin(const std::string& location_line) {
  console_.Print(std::string("\n") + kRunCaption + "\n" + location_line + "\n");
  if (mode_ != ProgressMode::kLines) return {};
  printer_ = std::make_shared<LinePrinter>(console_);
  last_statistics_ = std::chrono::steady_clock::now();
  return [printer = printer_](const RunChange& change) { printer->OnChange(change); };
}

void ProgressConsole::Show(RunView view) {
  // The lines of the changes since the last view come first.
  if (printer_) printer_->Flush();
  // Line mode hears every change from the listener and keeps no rows: a
  // release may have 100,000 of them.
  if (mode_ == ProgressMode::kLive) TakeRows(std::move(view.rows));
  const bool over = view.phase != RunPhase::kRunning;
  // The abort wait after the run is over (the terminal ends every run
  // through it) says nothing new.
  if (view.aborting && !over && !aborting_shown_) {
    aborting_shown_ = true;
    hint_.clear();
    if (mode_ == ProgressMode::kLines) console_.Print(std::string(kAborting) + "\n");
  }
  const std::string title = !view.aborting || !over ? view.title : title_;
  const int follow = view.tick ? view.follow_row : follow_row_;
  // Redrawn only when something shown differs.
  dirty_ = dirty_ || !view.rows.rows.empty() || title != title_ || follow != follow_row_ ||
           view.verified_bytes != verified_bytes_ || view.status_line != status_line_ ||
           view.download_row != download_row_ || (over && !hint_.empty());
  title_ = title;
  follow_row_ = follow;
  if (over) hint_.clear();
  verified_bytes_ = view.verified_bytes;
  total_bytes_ = view.total_bytes;
  status_line_ = view.status_line;
  download_row_ = view.download_row;
  Draw(view.aborting && !over);
  const auto now = std::chrono::steady_clock::now();
  if (view.tick && !over && printer_ && now - last_statistics_ >= statistics_every_) {
    last_statistics_ = now;
    // A finished run's closing lines come with End.
    printer_->PrintStatistics();
  }
}

void ProgressConsole::KeepAlive() { Draw(false); }

void ProgressConsole::Close(RunClose) {}

void ProgressConsole::Refresh() { Draw(false); }

void ProgressConsole::Draw(bool force) {
  if (mode_ != ProgressMode::kLive || ended_) return;
  if (console_.Waiting() && !force) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && (!dirty_ || now - last_draw_ < kRedrawInterval)) return;
  if (!live_) {
    const auto size = console_.OutputSize();
    if (!size) return;
    const int room = size->rows - kFixedLiveLines - kLinesAbove;
    live_window_ = std::clamp(std::min(static_cast<int>(rows_.size()), kMostRowsShown), 0, room);
    live_ = std::make_unique<LiveArea>(console_, kFixedLiveLines + live_window_, *size);
  }
  LiveView view;
  view.title = title_;
  view.rows = std::move(rows_);
  view.follow_row = follow_row_;
  view.download_row = RunningDownloadRow(view.rows, download_row_);
  view.row_window = live_window_;
  view.verified_bytes = verified_bytes_;
  view.total_bytes = total_bytes_;
  view.status_line = status_line_;
  view.hint = hint_;
  // The area was sized when the table had been filled; it never grows.
  const std::vector<std::string> lines = RenderLiveView(view, live_->Columns());
  rows_ = std::move(view.rows);
  live_->Draw(lines);
  dirty_ = false;
  last_draw_ = now;
}

void ProgressConsole::TakeRows(RowUpdate update) {
  if (update.whole_table) {
    rows_ = std::move(update.all);
    return;
  }
  for (auto& [index, row] : update.rows) {
    if (static_cast<size_t>(index) < rows_.size())
      rows_[static_cast<size_t>(index)] = std::move(row);
  }
}

void ProgressConsole::End() {
  if (ended_) return;
  if (mode_ == ProgressMode::kLive) {
    Draw(true);
    if (live_) live_->Leave();
  } else if (printer_) {
    printer_->Close(PrintableLine(title_) + "\n");
  }
  ended_ = true;
}

}  // namespace brenvik
