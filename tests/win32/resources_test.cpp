// The resources linked into the window face's programs: the pictures drawn
// at build time, the texts, the version block, the manifest's effects, and
// the dialog templates as the dialog manager builds them.

#include <gtest/gtest.h>
#include <windows.h>
// Needs windows.h first.
#include <commctrl.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>
#include <string_view>
#include <vector>

#include "win32/resource_ids.h"

namespace {

HINSTANCE Program() { return ::GetModuleHandleW(nullptr); }

std::string_view ResourceBytes(const wchar_t* type, int id) {
  HRSRC found = ::FindResourceW(Program(), MAKEINTRESOURCEW(id), type);
  if (found == nullptr) return {};
  const void* data = ::LockResource(::LoadResource(Program(), found));
  return {static_cast<const char*>(data), ::SizeofResource(Program(), found)};
}

struct BitmapPixels {
  int width = 0;
  int height = 0;
  std::vector<COLORREF> pixels;  // top-down rows
  COLORREF At(int x, int y) const { return pixels[y * width + x]; }
};

BitmapPixels ReadBitmap(int id) {
  BitmapPixels result;
  HBITMAP bitmap = static_cast<HBITMAP>(
      ::LoadImageW(Program(), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (bitmap == nullptr) return result;
  BITMAP info{};
  ::GetObjectW(bitmap, sizeof info, &info);
  result.width = info.bmWidth;
  result.height = info.bmHeight;
  BITMAPINFO format{};
  format.bmiHeader = {sizeof(BITMAPINFOHEADER), info.bmWidth, -info.bmHeight, 1, 32, BI_RGB};
  std::vector<RGBQUAD> quads(static_cast<size_t>(info.bmWidth) * info.bmHeight);
  HDC screen = ::GetDC(nullptr);
  ::GetDIBits(screen, bitmap, 0, info.bmHeight, quads.data(), &format, DIB_RGB_COLORS);
  ::ReleaseDC(nullptr, screen);
  ::DeleteObject(bitmap);
  for (const RGBQUAD& quad : quads)
    result.pixels.push_back(RGB(quad.rgbRed, quad.rgbGreen, quad.rgbBlue));
  return result;
}

// The pixel sizes an icon resource was drawn at, read from its directory.
std::vector<int> IconSizes(int id) {
  const std::string_view directory = ResourceBytes(RT_GROUP_ICON, id);
  std::vector<int> sizes;
  if (directory.size() < 6) return sizes;
  const auto count = static_cast<unsigned char>(directory[4]);
  for (unsigned i = 0; i < count && 6 + 14 * (i + 1) <= directory.size(); ++i) {
    const auto width = static_cast<unsigned char>(directory[6 + 14 * i]);
    sizes.push_back(width == 0 ? 256 : width);
  }
  return sizes;
}

TEST(Pictures, IconsCarryEverySizeTheyAreAskedFor) {
  EXPECT_EQ(IconSizes(IDI_APP_ICON), (std::vector<int>{16, 24, 32, 48, 64, 256}));
  EXPECT_EQ(IconSizes(IDI_FOLDER), (std::vector<int>{16, 20, 24, 32}));
  for (int size : {16, 32, 256}) {
    HICON icon = static_cast<HICON>(
        ::LoadImageW(Program(), MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON, size, size, 0));
    ASSERT_NE(icon, nullptr) << size;
    ICONINFO parts{};
    ASSERT_TRUE(::GetIconInfo(icon, &parts));
    BITMAP colour{};
    ::GetObjectW(parts.hbmColor, sizeof colour, &colour);
    EXPECT_EQ(colour.bmWidth, size);
    ::DeleteObject(parts.hbmColor);
    ::DeleteObject(parts.hbmMask);
    ::DestroyIcon(icon);
  }
}

TEST(Pictures, HandCursorPointsWithItsFingertip) {
  HCURSOR hand = ::LoadCursorW(Program(), MAKEINTRESOURCEW(IDR_HAND_CURSOR));
  ASSERT_NE(hand, nullptr);
  ICONINFO parts{};
  ASSERT_TRUE(::GetIconInfo(hand, &parts));
  EXPECT_FALSE(parts.fIcon);
  EXPECT_EQ(parts.xHotspot, 12u);
  EXPECT_EQ(parts.yHotspot, 2u);
  // The hot spot lies on the drawing, not on its transparent surroundings:
  // a clear AND-mask bit there means an opaque pixel.
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  ::SelectObject(memory, parts.hbmMask);
  EXPECT_EQ(::GetPixel(memory, 12, 2), RGB(0, 0, 0));
  EXPECT_NE(::GetPixel(memory, 0, 0), RGB(0, 0, 0));
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  ::DeleteObject(parts.hbmColor);
  ::DeleteObject(parts.hbmMask);
}

TEST(Pictures, RowStripHoldsFourImagesOnWhite) {
  const BitmapPixels strip = ReadBitmap(IDB_ROW_IMAGES);
  ASSERT_EQ(strip.width, ROW_IMAGE_COUNT * ROW_IMAGE_SIZE);
  ASSERT_EQ(strip.height, ROW_IMAGE_SIZE);
  const COLORREF white = RGB(255, 255, 255);
  for (int image = 0; image < ROW_IMAGE_COUNT; ++image) {
    const int left = image * ROW_IMAGE_SIZE;
    const int last = ROW_IMAGE_SIZE - 1;
    // White is the transparent colour: every corner of each cell is white,
    // and each cell holds a drawing of its own.
    EXPECT_EQ(strip.At(left, 0), white) << image;
    EXPECT_EQ(strip.At(left + last, last), white) << image;
    int drawn = 0;
    for (int y = 0; y < ROW_IMAGE_SIZE; ++y)
      for (int x = 0; x < ROW_IMAGE_SIZE; ++x) drawn += strip.At(left + x, y) != white;
    EXPECT_GT(drawn, 20) << image;
  }
  // The done image is a green disc; the idle one a pale grey ring.
  const COLORREF done = strip.At(ROW_IMAGE_DONE * ROW_IMAGE_SIZE + 3, 8);
  EXPECT_GT(GetGValue(done), GetRValue(done) + 40);
  const COLORREF idle = strip.At(ROW_IMAGE_IDLE * ROW_IMAGE_SIZE + 8, 8);
  EXPECT_LT(std::abs(GetRValue(idle) - GetBValue(idle)), 16);
}

TEST(Pictures, SidePictureIsOpaqueAtItsSize) {
  const BitmapPixels side = ReadBitmap(IDB_SIDE_PICTURE);
  EXPECT_EQ(side.width, 95);
  EXPECT_EQ(side.height, 240);
  ASSERT_FALSE(side.pixels.empty());
  // A drawing, not a blank: its top (night sky) is dark.
  EXPECT_LT(GetRValue(side.At(47, 2)) + GetGValue(side.At(47, 2)), 160);
}

TEST(Texts, AboutEntryAndVersionBlock) {
  wchar_t entry[64] = L"";
  ASSERT_GT(::LoadStringW(Program(), IDS_ABOUT_ENTRY, entry, 64), 0);
  EXPECT_STREQ(entry, L"&About Brenvik...");

  const std::string_view version = ResourceBytes(RT_VERSION, 1);
  const DWORD signature = 0xFEEF04BD;
  const size_t at = version.find(std::string_view(reinterpret_cast<const char*>(&signature), 4));
  ASSERT_NE(at, std::string_view::npos);
  VS_FIXEDFILEINFO fixed{};
  ASSERT_LE(at + sizeof fixed, version.size());
  std::memcpy(&fixed, version.data() + at, sizeof fixed);
  EXPECT_EQ(fixed.dwFileVersionMS, MAKELONG(0, 1));
  EXPECT_EQ(fixed.dwFileVersionLS, MAKELONG(1, 0));
  EXPECT_EQ(fixed.dwProductVersionMS, fixed.dwFileVersionMS);
  EXPECT_EQ(fixed.dwProductVersionLS, fixed.dwFileVersionLS);
  const std::wstring english_unicode = L"040904B0";
  const std::wstring_view wide(reinterpret_cast<const wchar_t*>(version.data()),
                               version.size() / sizeof(wchar_t));
  EXPECT_NE(wide.find(english_unicode), std::wstring_view::npos);
  EXPECT_NE(wide.find(L"Brenvik"), std::wstring_view::npos);
}

// What the manifest asks for, seen from inside the running program.
TEST(Manifest, TakesEffect) {
  EXPECT_EQ(::GetACP(), 65001u) << "UTF-8 active code page";
  // Common controls 6, the ones that draw with the system's visual styles,
  // come from the side-by-side store; the plain system copy is version 5.
  // (Wine's copy of version 6 reports 5.81 from DllGetVersion, so the
  // version is read from where the library was loaded.)
  HMODULE controls = ::GetModuleHandleW(L"comctl32.dll");
  ASSERT_NE(controls, nullptr);
  wchar_t path[MAX_PATH] = L"";
  ::GetModuleFileNameW(controls, path, MAX_PATH);
  std::wstring loaded(path);
  for (wchar_t& c : loaded) c = static_cast<wchar_t>(::towlower(c));
  EXPECT_NE(loaded.find(L"common-controls_6595b64144ccf1df_6.0."), std::wstring::npos) << path;
  const std::string_view text = ResourceBytes(RT_MANIFEST, 1);
  EXPECT_NE(text.find("PerMonitorV2"), std::string_view::npos);
  EXPECT_NE(text.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string_view::npos);
}

// A dialog template built hidden (none of them has WS_VISIBLE), with no
// handlers of its own.
class Template {
 public:
  explicit Template(int id) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&classes);
    window_ = ::CreateDialogParamW(Program(), MAKEINTRESOURCEW(id), nullptr, &Template::Ignore, 0);
  }
  ~Template() {
    if (window_ != nullptr) ::DestroyWindow(window_);
  }
  Template(const Template&) = delete;
  Template& operator=(const Template&) = delete;

  HWND Window() const { return window_; }
  HWND Control(int id) const { return ::GetDlgItem(window_, id); }
  LONG Style(int id) const { return ::GetWindowLongW(Control(id), GWL_STYLE); }
  std::wstring ClassOf(int id) const {
    wchar_t name[64] = L"";
    ::GetClassNameW(Control(id), name, 64);
    return name;
  }
  std::wstring Text(HWND window) const {
    std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
  }
  std::wstring Text(int id) const { return Text(Control(id)); }
  // A control's rectangle in the page's client coordinates.
  RECT Place(int id) const {
    RECT place{};
    ::GetWindowRect(Control(id), &place);
    ::MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&place), 2);
    return place;
  }
  // Every listed control exists, is of its class and lies inside the page.
  void ExpectControls(std::initializer_list<std::pair<int, const wchar_t*>> controls) const {
    RECT client{};
    ::GetClientRect(window_, &client);
    for (const auto& [id, window_class] : controls) {
      ASSERT_NE(Control(id), nullptr) << id;
      EXPECT_EQ(_wcsicmp(ClassOf(id).c_str(), window_class), 0) << id << " is a " << ClassOf(id);
      const RECT place = Place(id);
      RECT inside{};
      EXPECT_TRUE(::IntersectRect(&inside, &place, &client) && ::EqualRect(&inside, &place)) << id;
    }
  }

 private:
  static INT_PTR CALLBACK Ignore(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
  HWND window_ = nullptr;
};

TEST(Templates, SetupPageStartsWithOnlyTheFieldAndBoxUsable) {
  Template page(IDD_SETUP_PAGE);
  ASSERT_NE(page.Window(), nullptr) << ::GetLastError();
  page.ExpectControls({{IDC_SETUP_INFO, L"Static"},
                       {IDC_LOCATION_FIELD, L"Edit"},
                       {IDC_BROWSE_BUTTON, L"Button"},
                       {IDC_INSTALL_BOX, L"Button"},
                       {IDC_NEXT_BUTTON, L"Button"},
                       {IDC_CANCEL_BUTTON, L"Button"},
                       {IDC_SETUP_SIDE_PICTURE, L"Static"}});
  EXPECT_EQ(page.Text(page.Window()), L"Quellmoor Tessivane Brenvik Step 1 / 2");
  EXPECT_TRUE(::GetWindowLongW(page.Window(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
  // The folder changes only through the browse button.
  EXPECT_TRUE(page.Style(IDC_LOCATION_FIELD) & ES_READONLY);
  EXPECT_EQ(page.Style(IDC_INSTALL_BOX) & BS_TYPEMASK, BS_AUTOCHECKBOX);
  EXPECT_EQ(::IsDlgButtonChecked(page.Window(), IDC_INSTALL_BOX), BST_UNCHECKED);
  EXPECT_TRUE(page.Style(IDC_BROWSE_BUTTON) & BS_ICON);
  EXPECT_FALSE(::IsWindowEnabled(page.Control(IDC_NEXT_BUTTON)));
  EXPECT_EQ(page.Style(IDC_NEXT_BUTTON) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  EXPECT_EQ(page.Text(IDC_NEXT_BUTTON), L"Next >>");
  EXPECT_EQ(page.Text(IDC_SETUP_INFO), L"Trying to connect to ");
  EXPECT_EQ(page.Style(IDC_SETUP_SIDE_PICTURE) & SS_TYPEMASK, SS_BITMAP);
}

TEST(Templates, ProgressPageKeepsRowsInCatalogueOrder) {
  Template page(IDD_PROGRESS_PAGE);
  ASSERT_NE(page.Window(), nullptr) << ::GetLastError();
  page.ExpectControls({{IDC_CANCEL_BUTTON, L"Button"},
                       {IDC_LOCATION_LINE, L"Static"},
                       {IDC_JOB_TABLE, WC_LISTVIEWW},
                       {IDC_STATUS_LINE, L"Static"},
                       {IDC_PROGRESS_SIDE_PICTURE, L"Static"},
                       {IDC_PROGRESS_BAR, PROGRESS_CLASSW}});
  // The elapsed time goes after the first hyphen of the title, so the
  // template's own title has none.
  const std::wstring title = page.Text(page.Window());
  EXPECT_EQ(title, L"Quellmoor Tessivane Brenvik Step 2 / 2");
  EXPECT_EQ(title.find(L'-'), std::wstring::npos);
  // Row i is catalogue row i: a report list that never sorts.
  const LONG list = page.Style(IDC_JOB_TABLE);
  EXPECT_EQ(list & LVS_TYPEMASK, LVS_REPORT);
  EXPECT_EQ(list & (LVS_SORTASCENDING | LVS_SORTDESCENDING), 0);
  EXPECT_TRUE(list & LVS_NOSORTHEADER);
  EXPECT_TRUE(list & LVS_SINGLESEL);
  EXPECT_EQ(page.Text(IDC_LOCATION_LINE),
            L"Download-location is \"%s\"\nInstall after downloading: %s");
  EXPECT_EQ(page.Text(IDC_CANCEL_BUTTON), L"Cancel");
  EXPECT_EQ(::GetDlgItem(page.Window(), IDC_NEXT_BUTTON), nullptr);
}

TEST(Templates, BothPagesShareSizeAndSidePicture) {
  Template setup(IDD_SETUP_PAGE);
  Template progress(IDD_PROGRESS_PAGE);
  RECT setup_client{}, progress_client{};
  ::GetClientRect(setup.Window(), &setup_client);
  ::GetClientRect(progress.Window(), &progress_client);
  EXPECT_TRUE(::EqualRect(&setup_client, &progress_client));
  RECT in_dialog_units{7, 7, 0, 0};
  ::MapDialogRect(setup.Window(), &in_dialog_units);
  for (const auto& [page, id] : {std::pair{&setup, IDC_SETUP_SIDE_PICTURE},
                                 std::pair{&progress, IDC_PROGRESS_SIDE_PICTURE}}) {
    const RECT place = page->Place(id);
    EXPECT_EQ(place.left, in_dialog_units.left);
    EXPECT_EQ(place.top, in_dialog_units.top);
  }
}

TEST(Templates, AboutBoxHidesTheUnsignedLineUntilAsked) {
  Template about(IDD_ABOUT);
  ASSERT_NE(about.Window(), nullptr) << ::GetLastError();
  about.ExpectControls({{IDC_ABOUT_ICON, L"Static"},
                        {IDC_ABOUT_NAME, L"Static"},
                        {IDC_ABOUT_NOTICE, L"Static"},
                        {IDC_ABOUT_UNSIGNED, L"Static"},
                        {IDOK, L"Button"}});
  EXPECT_EQ(about.Text(about.Window()), L"About Brenvik");
  EXPECT_EQ(about.Text(IDC_ABOUT_NAME), L"Quellmoor Tessivane Brenvik Version 1.1");
  EXPECT_FALSE(about.Style(IDC_ABOUT_UNSIGNED) & WS_VISIBLE);
  EXPECT_EQ(about.Style(IDOK) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
}

// Every line of the About box fits its control in the dialog's own font,
// wrapped at word ends as a static text wraps, and stays clear of OK. The
// font Windows substitutes differs from machine to machine (and Wine's is
// narrower), so each control must also hold its text at the dialog units'
// own measure: an average character 4 units wide, a line 8 units high.
TEST(Templates, AboutBoxLinesAreShownWhole) {
  Template about(IDD_ABOUT);
  ASSERT_NE(about.Window(), nullptr) << ::GetLastError();
  const RECT ok = about.Place(IDOK);
  RECT character{0, 0, 4, 8};
  ::MapDialogRect(about.Window(), &character);
  for (const int id : {IDC_ABOUT_NAME, IDC_ABOUT_NOTICE, IDC_ABOUT_UNSIGNED}) {
    HWND line = about.Control(id);
    RECT client{};
    ::GetClientRect(line, &client);
    HDC dc = ::GetDC(line);
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(line, WM_GETFONT, 0, 0));
    const HGDIOBJ was = ::SelectObject(dc, font);
    const std::wstring text = about.Text(id);
    RECT needed{0, 0, client.right, 0};
    ::DrawTextW(dc, text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    ::SelectObject(dc, was);
    ::ReleaseDC(line, dc);
    EXPECT_LE(needed.right, client.right) << id;
    EXPECT_LE(needed.bottom, client.bottom) << id << ": the text is cut";
    const auto room =
        static_cast<size_t>((client.right / character.right) * (client.bottom / character.bottom));
    EXPECT_LE(text.size(), room) << id << ": no room for the text at the dialog units' measure";
    RECT place = about.Place(id);
    RECT overlap{};
    EXPECT_FALSE(::IntersectRect(&overlap, &place, &ok)) << id;
  }
}

}  // namespace
