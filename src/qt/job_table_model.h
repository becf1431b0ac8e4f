#pragma once
// The job table as the progress page's list shows it: two columns, the
// file (with the row's image) and its status. The model keeps a copy of the
// rows and on Refresh reads only the rows changed since (the whole table
// once it is filled), telling the view which rows differ.
//
// Threads: the GUI thread only. The table itself is changed by the workers;
// the model reads it only in Refresh.

#include <QAbstractTableModel>
#include <QIcon>
#include <array>
#include <cstdint>
#include <vector>

#include "run/job_table.h"

namespace brenvik {

class JobTableModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit JobTableModel(const JobTable& table, QObject* parent = nullptr);

  // Brings the snapshot up to date; false when the table had not changed.
  bool Refresh();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  const JobTable& table_;
  std::vector<JobRow> rows_;
  uint64_t seen_revision_ = 0;
  bool seen_any_ = false;
  std::array<QIcon, 4> images_;
};

}  // namespace brenvik
