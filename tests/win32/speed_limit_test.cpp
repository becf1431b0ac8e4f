// The window menu's "Limit download speed…": the box shows the limit set,
// an answer that is no limit is said and asked again, and the limit given
// is applied and kept for later runs.

#include <gtest/gtest.h>

#include <optional>

#include "catalogue/speed_limit_file.h"
#include "texts/run_texts.h"
#include "win32/resource_ids.h"
#include "win32/window_driver.h"
#include "win32/window_world.h"

namespace brenvik::test {
namespace {

void SetField(HWND box, const wchar_t* text) {
  ::SendDlgItemMessageW(box, IDC_SPEED_LIMIT_FIELD, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

TEST(Win32SpeedLimit, TheWindowMenuAsksForALimitAppliesItAndKeepsIt) {
  WindowWorld world;
  world.release.Add("Readme.txt", RandomBytes(3 * 1024, 2));
  world.release.Publish();
  SessionConfig config = world.ConfigWithoutInstaller();
  config.speed_limit_file = world.work.path() / "brenvik-settings.ini";
  BoxAnswerer answerer;
  WizardRun run(world, config);

  HWND setup = WaitForReadySetupPage();
  ASSERT_NE(setup, nullptr) << "no setup page with Next enabled";
  const auto menu = SystemMenuItems(setup);
  ASSERT_GE(menu.size(), 2u);
  EXPECT_EQ(menu[menu.size() - 2],
            (std::pair<UINT, std::string>{IDM_SPEED_LIMIT_ENTRY, "Limit download speed\u2026"}));
  ::PostMessageW(setup, WM_SYSCOMMAND, IDM_SPEED_LIMIT_ENTRY, 0);
  HWND box = WaitForOwnWindow("Limit download speed");
  ASSERT_NE(box, nullptr) << "the entry opened no box";
  EXPECT_EQ(ItemText(box, IDC_SPEED_LIMIT_FIELD), "0");  // no limit yet

  SetField(box, L"fast");
  PressButton(box, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return !answerer.Texts().empty(); }));
  EXPECT_NE(answerer.Texts()[0].find("\"fast\" is no speed limit"), std::string::npos)
      << answerer.Texts()[0];
  EXPECT_TRUE(::IsWindow(box));  // asked again
  SetField(box, L"2M");
  PressButton(box, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(box); }));
  EXPECT_EQ(LoadSpeedLimit(config.speed_limit_file), std::optional<uint64_t>(uint64_t{2} << 20));

  PressEnter(setup);
  HWND progress = WaitForOwnWindow(kRunCaption);
  ASSERT_NE(progress, nullptr) << "Enter did not open the progress page";
  ASSERT_TRUE(WaitForAllDone(progress)) << ItemText(progress, IDC_STATUS_LINE);
  PressButton(progress, IDCANCEL);  // Quit
  EXPECT_TRUE(run.Wait().has_value());
}

}  // namespace
}  // namespace brenvik::test
