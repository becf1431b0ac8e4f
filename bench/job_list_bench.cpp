// The Qt progress page's list on a release of 100,000 files: what one poll
// of the page costs its thread when a few rows changed since the last one.
// A poll reads the changes from the job table (as the run driver does for
// its view), hands them to the list's model and repaints the list. The reference beside it is the
// same poll reading the whole table, as the list did before it read only what changed; the last
// line prints the ratio of the two.
//
//   build/job_list_bench [--rows N]   (QT_QPA_PLATFORM=offscreen without a display)

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qt/job_table_model.h"
#include "run/job_table.h"
#include "run/run_view.h"

namespace {

int row_count = 100'000;
constexpr int kChangedPerPoll = 4;  // downloads reporting progress between two polls

struct Page {
  brenvik::JobTable table;
  std::unique_ptr<brenvik::JobTableModel> model;
  std::unique_ptr<QTreeView> view;
  int percent = 0;
  uint64_t revision = 0;

  Page() {
    for (int i = 0; i < row_count; ++i) {
      table.InsertRow("Data/archive_" + std::to_string(i) + ".cab");
      table.SetStatus(i, {brenvik::RowPhase::kPending});
    }
    model = std::make_unique<brenvik::JobTableModel>();
    model->Apply({.whole_table = true, .all = table.Snapshot(), .rows = {}});
    revision = table.Revision();
    view = std::make_unique<QTreeView>();
    view->setUniformRowHeights(true);
    view->setModel(model.get());
    view->resize(472, 152);
    view->show();
    QApplication::processEvents();
  }

  // What the workers do between two polls: a few downloads move on, spread
  // over the table as four connections would be.
  void Work() {
    percent = (percent + 1) % 100;
    for (int k = 0; k < kChangedPerPoll; ++k) {
      const int row = (k * row_count / kChangedPerPoll + percent) % row_count;
      table.SetStatus(row, brenvik::RowStatus::Downloading(static_cast<uint32_t>(percent)));
    }
  }

  // The rows changed since the last poll, into the model.
  void Poll() {
    brenvik::RowChanges changes = table.ChangesSince(revision);
    revision = changes.revision;
    model->Apply({.whole_table = false, .all = {}, .rows = std::move(changes.rows)});
  }
};

// Made in main, after the application and gone before it.
Page* the_page = nullptr;

Page& ThePage() { return *the_page; }

void BM_PollReadingChanges(benchmark::State& state) {
  Page& page = ThePage();
  for (auto _ : state) {
    page.Work();
    page.Poll();
    page.view->viewport()->repaint();
  }
  state.SetLabel(std::to_string(row_count) + " rows");
}
BENCHMARK(BM_PollReadingChanges)->Unit(benchmark::kMicrosecond);

void BM_PollReadingTheWholeTable(benchmark::State& state) {
  Page& page = ThePage();
  for (auto _ : state) {
    page.Work();
    std::vector<brenvik::JobRow> rows = page.table.Snapshot();
    benchmark::DoNotOptimize(rows.data());
    page.Poll();
    page.view->viewport()->repaint();
  }
  state.SetLabel(std::to_string(row_count) + " rows");
}
BENCHMARK(BM_PollReadingTheWholeTable)->Unit(benchmark::kMicrosecond);

// Interleaved rounds of both, for the ratio on the last line.
double MedianRatio() {
  Page& page = ThePage();
  using Clock = std::chrono::steady_clock;
  std::vector<double> ratios;
  for (int round = 0; round < 15; ++round) {
    const auto a = Clock::now();
    for (int i = 0; i < 20; ++i) {
      page.Work();
      page.Poll();
      page.view->viewport()->repaint();
    }
    const auto b = Clock::now();
    for (int i = 0; i < 20; ++i) {
      page.Work();
      std::vector<brenvik::JobRow> rows = page.table.Snapshot();
      benchmark::DoNotOptimize(rows.data());
      page.Poll();
      page.view->viewport()->repaint();
    }
    const auto c = Clock::now();
    ratios.push_back(std::chrono::duration<double>(b - a).count() /
                     std::chrono::duration<double>(c - b).count());
  }
  std::sort(ratios.begin(), ratios.end());
  return ratios[ratios.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
      std::getenv("QT_QPA_PLATFORM") == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  std::vector<char*> args(argv, argv + argc);
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    if (std::strcmp(args[i], "--rows") == 0) {
      row_count = std::max(1, std::atoi(args[i + 1]));
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  int count = static_cast<int>(args.size());
  QApplication app(count, args.data());
  Page page;
  the_page = &page;
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("poll reading changes vs reading the whole table, %d rows: ratio %.3f\n", row_count,
              MedianRatio());
  the_page = nullptr;
  return 0;
}
