#pragma once
// Tells a face when to bring the row being downloaded into view: when that
// row's download has reported progress since the face last looked, so a
// user who scrolled away is pulled back only by news, not on every tick.
//
// Thread safety: the face's thread; it reads the job table, which any
// thread may write.

#include "run/job_table.h"
#include "texts/row_text.h"

namespace brenvik {

class DownloadRowWatch {
 public:
  // The row to bring into view now (one of the first `row_count` rows), or
  // -1 when there is no news.
  int RowToShow(const JobTable& table, int row_count) {
    const int row = table.CurrentDownloadRow();
    if (row < 0 || row >= row_count) return -1;
    const JobRow shown = table.Row(row);
    // A progress report gives the row the busy image and a new percentage.
    if (shown.image != RowImage::kBusy) return -1;
    if (row == row_seen_ && shown.status == status_seen_) return -1;
    row_seen_ = row;
    status_seen_ = shown.status;
    return row;
  }

 private:
  int row_seen_ = -1;
  RowStatus status_seen_;
};

}  // namespace brenvik
