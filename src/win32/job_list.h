#pragma once
// The job table as the progress page's list view shows it: two columns,
// "File / Operation:" with the row's image and "Status:", a third and two
// thirds of the width beside a vertical scroll bar. The list keeps a copy
// of the rows it shows and takes in the rows each view of the run says
// changed, redrawing only those.
//
// Threads: the window thread only.

// windows.h first: the common controls' header builds on its definitions.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstdint>
#include <vector>

#include "run/run_view.h"

namespace brenvik {

class JobList {
 public:
  // `list` is the page's list view (report view).
  explicit JobList(HWND list);
  ~JobList();
  JobList(const JobList&) = delete;
  JobList& operator=(const JobList&) = delete;

  // Takes in the rows of a view; false when nothing changed.
  bool Apply(RowUpdate update);
  int RowCount() const { return static_cast<int>(shown_.size()); }

  // Makes `row` entirely visible.
  void EnsureVisible(int row) const;
  // Keeps `row` in view, scrolling at most one row per call: rows 0 to 2
  // are only made visible; a later row is made visible and, when it lies
  // below the middle of the view, the list scrolls down by one more row, so
  // a followed row drifts towards the middle as the run goes on.
  void FollowRow(int row) const;
  // After the list's DPI changed to `dpi`: the row images at the new size,
  // and the columns fitted to the list again.
  void ChangeDpi(UINT dpi);

 private:
  void SetUpColumns() const;
  void SizeColumns(UINT dpi) const;
  void InsertRow(int row, const JobRow& value) const;
  void ShowRow(int row, const JobRow& value, const JobRow* was) const;

  HWND list_;
  HIMAGELIST images_ = nullptr;
  std::vector<JobRow> shown_;
};

}  // namespace brenvik
