#include "terminal/progress_console.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string_view>

#include "run/run_engine.h"
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

// Prints the rows' status changes in line mode. Shared with the table's
// change listener, so a worker that is still running when the console goes
// away finds it alive (and closed).
struct ProgressConsole::LinePrinter {
  LinePrinter(JobTable& table, Console& console) : table(table), console(console) {}

  // `row` is the row that changed, JobTable::kStatusLineRow for the status
  // line, or JobTable::kWholeTable to compare everything. Only the changed
  // row is read: a table of thousands of rows changes many times per file.
  void OnChange(int row) {
    // One change at a time, in the order seen: a late older text would
    // otherwise print twice.
    std::lock_guard lock(mutex);
    if (closed) return;
    std::string out;
    if (row >= 0) {
      Compare(row, table.Row(row), out);
    } else if (row == JobTable::kWholeTable) {
      const std::vector<JobRow> rows = table.Snapshot();
      for (size_t i = 0; i < rows.size(); ++i) Compare(static_cast<int>(i), rows[i], out);
    }
    if (row < 0) CompareStatusLine(out);
    if (!out.empty()) console.Print(out);
  }

  void Compare(int index, const JobRow& row, std::string& out) {
    if (seen.size() <= static_cast<size_t>(index)) seen.resize(static_cast<size_t>(index) + 1);
    RowStatus& shown = seen[static_cast<size_t>(index)];
    if (row.status == shown) return;
    shown = row.status;
    if (shown.phase == RowPhase::kNone || shown.IsRunningPercentage()) return;
    out += PrintableLine(row.name) + ": " + PrintableLine(RowText(shown)) + "\n";
  }

  void CompareStatusLine(std::string& out) {
    StatusLineValue line = table.StatusLineWithKind();
    if (line.text == status_line.text) return;
    status_line = std::move(line);
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
    const StatusLineValue line = table.StatusLineWithKind();
    if (line.kind == StatusLineKind::kStatistics) console.Print(line.text + "\n");
  }

  void Close(const std::string& closing) {
    std::lock_guard lock(mutex);
    if (closed) return;
    std::string out = closing;
    if (status_line.kind == StatusLineKind::kStatistics) out += status_line.text + "\n";
    closed = true;
    console.Print(out);
  }

  JobTable& table;
  Console& console;
  std::mutex mutex;
  bool closed = false;
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

ProgressConsole::ProgressConsole(RunEngine& run, Console& console, ProgressMode mode,
                                 std::chrono::milliseconds statistics_every)
    : run_(run),
      console_(console),
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

void ProgressConsole::Begin() {
  console_.Print(std::string("\n") + kRunCaption + "\n" + run_.LocationLine() + "\n");
  if (mode_ == ProgressMode::kLines) {
    printer_ = std::make_shared<LinePrinter>(run_.table(), console_);
    run_.table().SetChangeListener([printer = printer_](int row) { printer->OnChange(row); });
    last_statistics_ = std::chrono::steady_clock::now();
  }
}

void ProgressConsole::ShowTick(const TickReport& report) {
  title_ = report.title;
  follow_row_ = report.follow_row;
  verified_bytes_ = report.verified_bytes;
  total_bytes_ = report.total_bytes;
  if (report.finished || report.aborted) hint_.clear();
  dirty_ = true;
  Draw(false);
  const auto now = std::chrono::steady_clock::now();
  if (printer_ && now - last_statistics_ >= statistics_every_) {
    last_statistics_ = now;
    // A finished run's closing lines come with End.
    if (!report.finished && !report.aborted) printer_->PrintStatistics();
  }
}

void ProgressConsole::ShowAborting() {
  title_ = kAborting;
  hint_.clear();
  dirty_ = true;
  if (mode_ == ProgressMode::kLines) {
    console_.Print(std::string(kAborting) + "\n");
  } else {
    Draw(true);
  }
}

void ProgressConsole::Refresh() { Draw(false); }

void ProgressConsole::Draw(bool force) {
  if (mode_ != ProgressMode::kLive || ended_) return;
  if (console_.Waiting() && !force) return;
  const auto now = std::chrono::steady_clock::now();
  const uint64_t revision = run_.table().Revision();
  if (!force && ((!dirty_ && revision == drawn_revision_) || now - last_draw_ < kRedrawInterval)) {
    return;
  }
  if (!live_) {
    const auto size = console_.OutputSize();
    if (!size) return;
    const int room = size->rows - kFixedLiveLines - kLinesAbove;
    live_window_ = std::clamp(std::min(run_.table().RowCount(), kMostRowsShown), 0, room);
    live_ = std::make_unique<LiveArea>(console_, kFixedLiveLines + live_window_, *size);
  }
  ReadRows();
  LiveView view;
  view.title = title_;
  view.rows = std::move(rows_);
  view.follow_row = follow_row_;
  view.download_row = RunningDownloadRow(view.rows, run_.table().CurrentDownloadRow());
  view.row_window = live_window_;
  view.verified_bytes = verified_bytes_;
  view.total_bytes = total_bytes_;
  view.status_line = run_.table().StatusLine();
  view.hint = hint_;
  // The area was sized when the table had been filled; it never grows.
  const std::vector<std::string> lines = RenderLiveView(view, live_->Columns());
  rows_ = std::move(view.rows);
  live_->Draw(lines);
  drawn_revision_ = revision;
  dirty_ = false;
  last_draw_ = now;
}

void ProgressConsole::ReadRows() {
  const JobTable& table = run_.table();
  RowChanges changes = table.ChangesSince(rows_read_ ? rows_revision_ : 0);
  rows_revision_ = changes.revision;
  if (!rows_read_ || changes.whole_table) {
    rows_ = table.Snapshot();
    rows_read_ = true;
    return;
  }
  for (auto& [index, row] : changes.rows) {
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
    printer_->OnChange(JobTable::kWholeTable);  // whatever changed since the last call
    printer_->Close(PrintableLine(title_) + "\n");
  }
  ended_ = true;
}

}  // namespace brenvik
