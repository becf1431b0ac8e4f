#include "qt/job_table_model.h"

#include "qt/dialog_furniture.h"
#include "texts/printable_text.h"
#include "texts/row_text.h"
#include "texts/run_texts.h"

namespace brenvik {

JobTableModel::JobTableModel(const JobTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table) {
  LoadResources();
  images_ = {QIcon(ResourcePath("row_idle.svg")), QIcon(ResourcePath("row_busy.svg")),
             QIcon(ResourcePath("row_checking.svg")), QIcon(ResourcePath("row_done.svg"))};
  Refresh();
}

bool JobTableModel::Refresh() {
  const uint64_t revision = table_.Revision();
  if (seen_any_ && revision == seen_revision_) return false;
  seen_any_ = true;
  seen_revision_ = revision;
  std::vector<JobRow> rows = table_.Snapshot();
  if (rows.size() != rows_.size()) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    return true;
  }
  // One notice for the span of rows that differ keeps a busy list cheap.
  int first = -1;
  int last = -1;
  for (size_t i = 0; i < rows.size(); ++i) {
    const JobRow& was = rows_[i];
    const JobRow& now = rows[i];
    if (was.name != now.name || was.status != now.status || was.image != now.image) {
      if (first < 0) first = static_cast<int>(i);
      last = static_cast<int>(i);
    }
  }
  rows_ = std::move(rows);
  if (first >= 0) emit dataChanged(index(first, 0), index(last, 1));
  return first >= 0;
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
