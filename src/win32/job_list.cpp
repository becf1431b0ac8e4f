#include "win32/job_list.h"

#include "platform/wide_text.h"
#include "texts/printable_text.h"
#include "texts/row_text.h"
#include "texts/run_texts.h"
#include "win32/dpi_pictures.h"
#include "win32/resource_ids.h"

namespace brenvik {

namespace {

// Names and reasons come from the catalogue and the server: an invisible
// character that reorders text is shown, not obeyed.
void SetCell(HWND list, int row, int column, const std::string& utf8) {
  std::wstring text = Wide(PrintableLine(utf8));
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = text.data();
  ::SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

}  // namespace

JobList::JobList(HWND list) : list_(list) {
  if (list_ == nullptr) return;
  // The page owns the images: a list view would destroy a list it does not
  // share when it goes.
  ::SetWindowLongPtrW(list_, GWL_STYLE,
                      ::GetWindowLongPtrW(list_, GWL_STYLE) | LVS_SHAREIMAGELISTS);
  ::SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER,
                 LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  images_ = LoadRowImages(WindowDpi(list_));
  ::SendMessageW(list_, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images_));
  SetUpColumns();
}

void JobList::ChangeDpi(UINT dpi) {
  if (list_ == nullptr) return;
  const HIMAGELIST old = images_;
  images_ = LoadRowImages(dpi);
  ::SendMessageW(list_, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images_));
  if (old != nullptr) ::ImageList_Destroy(old);
  SizeColumns(dpi);
}

JobList::~JobList() {
  if (images_ != nullptr) ::ImageList_Destroy(images_);
}

void JobList::SetUpColumns() const {
  const char* headers[] = {kFileColumnHeader, kStatusColumnHeader};
  for (int column = 0; column < 2; ++column) {
    std::wstring header = Wide(headers[column]);
    LVCOLUMNW value{};
    value.mask = LVCF_FMT | LVCF_TEXT | LVCF_SUBITEM;
    value.fmt = LVCFMT_LEFT;
    value.pszText = header.data();
    value.iSubItem = column;
    ::SendMessageW(list_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                   reinterpret_cast<LPARAM>(&value));
  }
  SizeColumns(WindowDpi(list_));
}

// A third of the width for the name, the rest for the status, with room
// for the scroll bar at the list's DPI.
void JobList::SizeColumns(UINT dpi) const {
  RECT client;
  ::GetClientRect(list_, &client);
  const int width = client.right - client.left - ::GetSystemMetricsForDpi(SM_CXVSCROLL, dpi);
  const int third = width > 0 ? width / 3 : 0;
  ::SendMessageW(list_, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(third, 0));
  ::SendMessageW(list_, LVM_SETCOLUMNWIDTH, 1, MAKELPARAM(2 * third, 0));
}

bool JobList::Apply(RowUpdate update) {
  if (list_ == nullptr) return false;
  if (update.whole_table) {
    std::vector<JobRow> rows = std::move(update.all);
    // Filled anew in one go, drawn once at the end.
    ::SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    ::SendMessageW(list_, LVM_DELETEALLITEMS, 0, 0);
    for (size_t i = 0; i < rows.size(); ++i) InsertRow(static_cast<int>(i), rows[i]);
    ::SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(list_, nullptr, TRUE);
    shown_ = std::move(rows);
    return true;
  }
  // Each change redraws only its own row.
  bool changed = false;
  for (auto& [index, row] : update.rows) {
    if (static_cast<size_t>(index) >= shown_.size()) continue;
    JobRow& shown = shown_[static_cast<size_t>(index)];
    ShowRow(index, row, &shown);
    shown = std::move(row);
    changed = true;
  }
  return changed;
}

void JobList::InsertRow(int row, const JobRow& value) const {
  std::wstring name = Wide(PrintableLine(value.name));
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_IMAGE;
  item.iItem = row;
  item.pszText = name.data();
  item.iImage = static_cast<int>(value.image);
  ::SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  ShowRow(row, value, nullptr);
}

void JobList::ShowRow(int row, const JobRow& value, const JobRow* was) const {
  if (was != nullptr && was->name != value.name) SetCell(list_, row, 0, value.name);
  if (was == nullptr || was->status != value.status) SetCell(list_, row, 1, RowText(value.status));
  if (was != nullptr && was->image != value.image) {
    LVITEMW item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iImage = static_cast<int>(value.image);
    ::SendMessageW(list_, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  }
}

void JobList::EnsureVisible(int row) const {
  if (list_ == nullptr || row < 0 || row >= RowCount()) return;
  ::SendMessageW(list_, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
}

void JobList::FollowRow(int row) const {
  if (list_ == nullptr || row < 0 || row >= RowCount()) return;
  ::SendMessageW(list_, LVM_REDRAWITEMS, static_cast<WPARAM>(row), row);
  if (row > 2) {
    EnsureVisible(row);
    RECT first{};
    first.left = LVIR_BOUNDS;
    ::SendMessageW(list_, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&first));
    const int top = static_cast<int>(::SendMessageW(list_, LVM_GETTOPINDEX, 0, 0));
    const int per_view = static_cast<int>(::SendMessageW(list_, LVM_GETCOUNTPERPAGE, 0, 0));
    if (top + per_view / 2 < row) {
      ::SendMessageW(list_, LVM_SCROLL, 0, first.bottom - first.top);
    }
  }
  EnsureVisible(row);
}

}  // namespace brenvik
