#pragma once
// The job table as the progress page's list shows it: two columns, the
// file (with the row's image) and its status. The model keeps a copy of the
// rows, takes in the rows each view of the run says changed, and tells the
// list which rows differ.
//
// Threads: the GUI thread only.

#include <QAbstractTableModel>
#include <QIcon>
#include <array>
#include <cstdint>
#include <vector>

#include "run/run_view.h"

namespace brenvik {

class JobTableModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit JobTableModel(QObject* parent = nullptr);

  // Takes in the rows of a view; false when no shown row differs.
  bool Apply(RowUpdate update);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::vector<JobRow> rows_;
  std::array<QIcon, 4> images_;
};

}  // namespace brenvik
