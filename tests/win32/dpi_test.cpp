// The pages' pictures: the side picture fills its place on the page; on a
// monitor with another DPI the browse button's folder and the row images
// come in the size drawn for that DPI, and the page takes the place the
// system suggests. The message is sent as the system sends it when a window
// moves between monitors (Wine's dialog manager does not scale the
// controls for it, as Windows' does).

// windows.h first: the common controls' header builds on it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on
#include <gtest/gtest.h>

#include <cstdlib>

#include "texts/run_texts.h"
#include "win32/resource_ids.h"
#include "win32/window_driver.h"
#include "win32/window_world.h"

namespace brenvik::test {
namespace {

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (bitmap == nullptr || ::GetObjectW(bitmap, sizeof info, &info) == 0) return {};
  return {info.bmWidth, std::abs(info.bmHeight)};
}

HBITMAP SidePicture(HWND page, int id) {
  return reinterpret_cast<HBITMAP>(::SendDlgItemMessageW(page, id, STM_GETIMAGE, IMAGE_BITMAP, 0));
}

// True when the side picture is exactly as large as its place and shows
// the drawing (the night sky at its middle, not the white around it).
bool FillsItsPlace(HWND page, int id) {
  const HBITMAP picture = SidePicture(page, id);
  RECT place{};
  ::GetClientRect(::GetDlgItem(page, id), &place);
  const SIZE size = BitmapSize(picture);
  if (size.cx != place.right || size.cy != place.bottom || size.cx == 0) return false;
  const HDC screen = ::GetDC(nullptr);
  const HDC dc = ::CreateCompatibleDC(screen);
  const HGDIOBJ old = ::SelectObject(dc, picture);
  const COLORREF middle = ::GetPixel(dc, size.cx / 2, size.cy / 4);
  ::SelectObject(dc, old);
  ::DeleteDC(dc);
  ::ReleaseDC(nullptr, screen);
  return GetRValue(middle) + GetGValue(middle) < 200;
}

int FolderIconSize(HWND setup) {
  const auto icon = reinterpret_cast<HICON>(
      ::SendDlgItemMessageW(setup, IDC_BROWSE_BUTTON, BM_GETIMAGE, IMAGE_ICON, 0));
  ICONINFO info{};
  if (icon == nullptr || !::GetIconInfo(icon, &info)) return 0;
  const SIZE size = BitmapSize(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask);
  if (info.hbmColor != nullptr) ::DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) ::DeleteObject(info.hbmMask);
  return size.cx;
}

int RowImageSize(HWND progress) {
  const auto images = reinterpret_cast<HIMAGELIST>(
      ::SendDlgItemMessageW(progress, IDC_JOB_TABLE, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
  int width = 0;
  int height = 0;
  return images != nullptr && ::ImageList_GetIconSize(images, &width, &height) ? width : 0;
}

// Sends WM_DPICHANGED for `dpi` with a place 1.5 times the window's size,
// and returns that place.
RECT MoveToDpi(HWND page, UINT dpi) {
  RECT now{};
  ::GetWindowRect(page, &now);
  const RECT place{now.left + 10, now.top + 10, now.left + 10 + (now.right - now.left) * 3 / 2,
                   now.top + 10 + (now.bottom - now.top) * 3 / 2};
  ::SendMessageW(page, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&place));
  return place;
}

void ExpectPlace(HWND page, const RECT& place) {
  RECT now{};
  ::GetWindowRect(page, &now);
  EXPECT_TRUE(::EqualRect(&now, &place))
      << now.left << "," << now.top << " " << now.right << "," << now.bottom;
}

TEST(Win32Dpi, BothPagesTakeThePicturesDrawnForTheNewDpi) {
  WindowWorld world;
  world.release.Add("Readme.txt", RandomBytes(3 * 1024, 2));
  world.release.Publish();
  BoxAnswerer answerer;
  WizardRun run(world, world.ConfigWithoutInstaller());

  HWND setup = WaitForReadySetupPage();
  ASSERT_NE(setup, nullptr) << "no setup page with Next enabled";
  // The test's display is at 96 DPI: the pictures at 100 %.
  EXPECT_TRUE(FillsItsPlace(setup, IDC_SETUP_SIDE_PICTURE));
  EXPECT_EQ(FolderIconSize(setup), 16);
  const HBITMAP before = SidePicture(setup, IDC_SETUP_SIDE_PICTURE);
  ExpectPlace(setup, MoveToDpi(setup, 144));
  EXPECT_EQ(FolderIconSize(setup), 24);
  // Fitted afresh once the dialog manager is done with the message.
  EXPECT_TRUE(WaitUntil([&] { return SidePicture(setup, IDC_SETUP_SIDE_PICTURE) != before; }));
  EXPECT_TRUE(FillsItsPlace(setup, IDC_SETUP_SIDE_PICTURE));
  // Between the steps, the step below: 125 % at 130 DPI.
  MoveToDpi(setup, 130);
  EXPECT_EQ(FolderIconSize(setup), 20);
  PressEnter(setup);

  HWND progress = WaitForOwnWindow(kRunCaption);
  ASSERT_NE(progress, nullptr) << "Enter did not open the progress page";
  EXPECT_TRUE(FillsItsPlace(progress, IDC_PROGRESS_SIDE_PICTURE));
  EXPECT_EQ(RowImageSize(progress), 16);
  ExpectPlace(progress, MoveToDpi(progress, 192));
  EXPECT_EQ(RowImageSize(progress), 32);
  EXPECT_TRUE(WaitUntil([&] { return FillsItsPlace(progress, IDC_PROGRESS_SIDE_PICTURE); }));
  ASSERT_TRUE(WaitForAllDone(progress)) << ItemText(progress, IDC_STATUS_LINE);
  PressButton(progress, IDCANCEL);  // Quit
  EXPECT_TRUE(run.Wait().has_value());
}

}  // namespace
}  // namespace brenvik::test
