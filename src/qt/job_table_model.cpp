#include "qt/job_table_model.h"

#include "qt/dialog_furniture.h"
#include "texts/printable_text.h"
#include "texts/row_text.h"
#include "texts/run_texts.h"

namespace brenvik {

JobTableModel::JobTableModel(QObject* parent) : QAbstractTableModel(parent) {
  LoadResources();
  images_ = {QIcon(ResourcePath("row_idle.svg")), QIcon(ResourcePath("row_busy.svg")),
             QIcon(ResourcePath("row_checking.svg")), QIcon(ResourcePath("row_done.svg"))};
}

bool JobTableModel::Apply(RowUpdate update) {
  if (update.whole_table) {
    beginResetModel();
    rows_ = std::move(update.all);
    endResetModel();
    return true;
  }
  // One notice for each run of neighbouring rows that differ: the tree view
  // works through every row of a notice's span, so one span from the first
  // changed row to the last would cost as much as the whole table.
  int first = -1;
  int last = -1;
  bool changed = false;
  const auto notify = [&] {
    if (first >= 0) emit dataChanged(this->index(first, 0), this->index(last, 1));
  };
  for (auto& [index, row] : update.rows) {
    if (static_cast<size_t>(index) >= rows_.size()) continue;
    JobRow& shown = rows_[static_cast<size_t>(index)];
    if (shown.name == row.name && shown.status == row.status && shown.image == row.image) continue;
    shown = std::move(row);
    changed = true;
    if (first >= 0 && index == last + 1) {
      last = index;
      continue;
    }
    notify();
    first = last = index;
  }
  notify();
  return changed;
}

int JobTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int JobTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 2; }

QVariant JobTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const JobRow& row = rows_[static_cast<size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      // Names and reasons come from the catalogue and the server: an
      // invisible character that reorders text is shown, not obeyed.
      return QString::fromStdString(
          PrintableLine(index.column() == 0 ? row.name : RowText(row.status)));
    case Qt::DecorationRole:
      if (index.column() == 0) {
        const int image = static_cast<int>(row.image);
        if (image >= 0 && image < static_cast<int>(images_.size())) return images_[image];
      }
      return {};
    default:
      return {};
  }
}

QVariant JobTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section == 0) return QString::fromUtf8(kFileColumnHeader);
  if (section == 1) return QString::fromUtf8(kStatusColumnHeader);
  return {};
}

}  // namespace brenvik
