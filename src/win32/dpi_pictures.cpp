#include "win32/dpi_pictures.h"

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

// The largest step at or below `dpi`. The pages' side picture slot grows
// with the DPI as the dialog font does, so the step's picture fits it; one
// a little small leaves a margin of the picture's white.
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

HBITMAP LoadSidePicture(UINT dpi) {
  return static_cast<HBITMAP>(::LoadImageW(Program(), MAKEINTRESOURCEW(StepFor(dpi).side_picture),
                                           IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
}

void ShowSidePicture(HWND page, int id, UINT dpi) {
  const HWND control = ::GetDlgItem(page, id);
  if (control == nullptr) return;
  const HBITMAP picture = LoadSidePicture(dpi);
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
  const int size = ::GetSystemMetricsForDpi(SM_CXSMICON, dpi);
  HICON& icon = icons[size];
  if (icon == nullptr) {
    icon = static_cast<HICON>(
        ::LoadImageW(Program(), MAKEINTRESOURCEW(IDI_FOLDER), IMAGE_ICON, size, size, 0));
  }
  return icon;
}

}  // namespace brenvik
