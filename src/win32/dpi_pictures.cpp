#include "win32/dpi_pictures.h"

#include <cstdlib>
#include <iterator>
#include <map>

#include "win32/resource_ids.h"

namespace brenvik {

namespace {

constexpr COLORREF kTransparentColour = RGB(255, 255, 255);
// The window property that holds the side picture this module gave a control.
constexpr const wchar_t* kGivenPicture = L"Brenvik.SidePicture";

struct Step {
  int percent;
  int side_picture;
  int row_images;
};

// Smallest first.
constexpr Step kSteps[] = {{100, IDB_SIDE_PICTURE, IDB_ROW_IMAGES},
                           {125, IDB_SIDE_PICTURE_125, IDB_ROW_IMAGES_125},
                           {150, IDB_SIDE_PICTURE_150, IDB_ROW_IMAGES_150},
                           {200, IDB_SIDE_PICTURE_200, IDB_ROW_IMAGES_200}};

HINSTANCE Program() { return ::GetModuleHandleW(nullptr); }

int Scaled(int size, int percent) { return (size * percent + 50) / 100; }

// The largest step at or below `dpi`.
const Step& StepFor(UINT dpi) {
  const Step* chosen = &kSteps[0];
  for (const Step& step : kSteps) {
    if (Scaled(96, step.percent) <= static_cast<int>(dpi)) chosen = &step;
  }
  return *chosen;
}

}  // namespace

UINT WindowDpi(HWND window) {
  const UINT dpi = window != nullptr ? ::GetDpiForWindow(window) : 0;
  return dpi != 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

HBITMAP LoadSidePicture(SIZE slot) {
  // The smallest drawing at least as large as the slot, shrunk: sharper
  // than a smaller one enlarged.
  const Step* source = &kSteps[std::size(kSteps) - 1];
  for (const Step& step : kSteps) {
    if (Scaled(95, step.percent) >= slot.cx && Scaled(240, step.percent) >= slot.cy) {
      source = &step;
      break;
    }
  }
  const auto drawing = static_cast<HBITMAP>(::LoadImageW(
      Program(), MAKEINTRESOURCEW(source->side_picture), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (drawing == nullptr || slot.cx <= 0 || slot.cy <= 0) return drawing;
  BITMAP size{};
  ::GetObjectW(drawing, sizeof size, &size);
  const HDC screen = ::GetDC(nullptr);
  const HDC from = ::CreateCompatibleDC(screen);
  const HDC to = ::CreateCompatibleDC(screen);
  HBITMAP picture = ::CreateCompatibleBitmap(screen, slot.cx, slot.cy);
  if (from != nullptr && to != nullptr && picture != nullptr) {
    const HGDIOBJ old_from = ::SelectObject(from, drawing);
    const HGDIOBJ old_to = ::SelectObject(to, picture);
    ::SetStretchBltMode(to, HALFTONE);
    ::SetBrushOrgEx(to, 0, 0, nullptr);
    ::StretchBlt(to, 0, 0, slot.cx, slot.cy, from, 0, 0, size.bmWidth, std::abs(size.bmHeight),
                 SRCCOPY);
    ::SelectObject(from, old_from);
    ::SelectObject(to, old_to);
  }
  if (from != nullptr) ::DeleteDC(from);
  if (to != nullptr) ::DeleteDC(to);
  ::ReleaseDC(nullptr, screen);
  if (picture == nullptr) return drawing;
  ::DeleteObject(drawing);
  return picture;
}

void ShowSidePicture(HWND page, int id) {
  const HWND control = ::GetDlgItem(page, id);
  if (control == nullptr) return;
  RECT slot{};
  ::GetClientRect(control, &slot);
  const HBITMAP picture = LoadSidePicture(SIZE{slot.right - slot.left, slot.bottom - slot.top});
  if (picture == nullptr) return;
  // Only a picture given here is freed here: the one the dialog manager
  // loaded from the template is the control's.
  const auto given = static_cast<HBITMAP>(::GetPropW(control, kGivenPicture));
  ::SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
  ::SetPropW(control, kGivenPicture, picture);
  if (given != nullptr) ::DeleteObject(given);
}

HIMAGELIST LoadRowImages(UINT dpi) {
  const Step& step = StepFor(dpi);
  const int size = Scaled(ROW_IMAGE_SIZE, step.percent);
  const HIMAGELIST images =
      ::ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, ROW_IMAGE_COUNT, 0);
  const HANDLE strip = ::LoadImageW(Program(), MAKEINTRESOURCEW(step.row_images), IMAGE_BITMAP, 0,
                                    0, LR_CREATEDIBSECTION);
  if (images != nullptr && strip != nullptr) {
    ::ImageList_AddMasked(images, static_cast<HBITMAP>(strip), kTransparentColour);
  }
  if (strip != nullptr) ::DeleteObject(strip);
  return images;
}

HICON LoadFolderIcon(UINT dpi) {
  // One icon per size, kept for the process: a shared load would hand back
  // the first size asked for whatever the size asked now.
  static std::map<int, HICON> icons;
  // The sizes drawn are the small-icon sizes of the steps.
  const int size = Scaled(16, StepFor(dpi).percent);
  HICON& icon = icons[size];
  if (icon == nullptr) {
    icon = static_cast<HICON>(
        ::LoadImageW(Program(), MAKEINTRESOURCEW(IDI_FOLDER), IMAGE_ICON, size, size, 0));
  }
  return icon;
}

}  // namespace brenvik
