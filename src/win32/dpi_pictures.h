#pragma once
// The pages' pictures at the DPI of the monitor a page is on. Each bitmap is
// drawn at build time at 100, 125, 150 and 200 % of its old size
// (cmake/windows_face.cmake). The row images and the folder icon come at
// the step for the window's DPI; the side picture fills its place on the
// page, shrunk from the smallest drawing that is at least as large. A page
// takes them when it opens and again on WM_DPICHANGED, when it moves to a
// monitor with another DPI: the system scales the dialog templates'
// controls and font itself (per-monitor awareness, version 2), and the side
// picture is fitted to its place once that is done.
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

// The side picture at `slot` pixels; the caller owns it (DeleteObject).
HBITMAP LoadSidePicture(SIZE slot);

// Gives the side picture control `id` of `page` the picture that fills its
// place, and frees the one given before.
void ShowSidePicture(HWND page, int id);

// What a page posts itself on WM_DPICHANGED to fit its side picture once the
// system has scaled its controls.
inline constexpr UINT kFitSidePicture = WM_APP + 40;

// The four row images for `dpi` (16 pixels square at 96 DPI), white as the
// transparent colour; the caller owns the list (ImageList_Destroy).
HIMAGELIST LoadRowImages(UINT dpi);

// The folder picture for `dpi`: drawn at 16 pixels at 96 DPI and at the
// small-icon size of each step above; kept for the process.
HICON LoadFolderIcon(UINT dpi);

}  // namespace brenvik
