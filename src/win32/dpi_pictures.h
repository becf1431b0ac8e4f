#pragma once
// The pages' pictures at the DPI of the monitor a page is on. Each bitmap is
// drawn at build time at 100, 125, 150 and 200 % of its old size
// (cmake/windows_face.cmake); a page takes the largest step at or below the
// window's DPI, when it opens and again on WM_DPICHANGED, when the window
// moves to a monitor with another DPI. The system scales the dialog
// templates' controls and font itself (per-monitor awareness, version 2),
// which the pages leave to it.
//
// Threads: the window thread only.

// windows.h first: the common controls' header builds on it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

namespace brenvik {

// The DPI the window is drawn at (96 is 100 %).
UINT WindowDpi(HWND window);

// The side picture for `dpi` (95x240 at 96 DPI); the caller owns it
// (DeleteObject).
HBITMAP LoadSidePicture(UINT dpi);

// Gives the side picture control `id` of `page` the picture for `dpi`,
// centred in the control's place, and frees the one given before.
void ShowSidePicture(HWND page, int id, UINT dpi);

// The four row images for `dpi` (16 pixels square at 96 DPI), white as the
// transparent colour; the caller owns the list (ImageList_Destroy).
HIMAGELIST LoadRowImages(UINT dpi);

// The folder picture for a small-icon place at `dpi`, kept for the process.
HICON LoadFolderIcon(UINT dpi);

}  // namespace brenvik
