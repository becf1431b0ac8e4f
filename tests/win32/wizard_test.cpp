// Both pages as one wizard under the window face, driven through window
// messages alone: from the setup page's fetch through Enter and a whole run
// to "All Done." and "Quit", and a run cancelled in the middle that a later
// start of the program completes.

#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "session/exit_status.h"
#include "texts/run_texts.h"
#include "texts/setup_texts.h"
#include "win32/resource_ids.h"
#include "win32/window_driver.h"
#include "win32/window_world.h"

namespace brenvik::test {
namespace {

constexpr const char* kAboutEntry = "&About Brenvik...";

std::vector<std::string> StatusColumn(HWND progress) {
  HWND list = ::GetDlgItem(progress, IDC_JOB_TABLE);
  std::vector<std::string> texts;
  for (int row = 0; row < ListRows(list); ++row) texts.push_back(ListCell(list, row, 1));
  return texts;
}

TEST(Win32Wizard, EnterDownloadsVerifiesAndStartsTheInstaller) {
  WindowWorld world;
  world.release.Add("Install.exe", RandomBytes(40 * 1024, 1));
  world.release.Add("Readme.txt", RandomBytes(3 * 1024, 2));
  world.release.Add("Data/a.cab", RandomBytes(300 * 1024, 3));
  world.release.Publish();
  BoxAnswerer answerer;
  WizardRun run(world);

  HWND setup = WaitForReadySetupPage();
  ASSERT_NE(setup, nullptr) << "no setup page with Next enabled";
  EXPECT_EQ(TextOf(setup), kSetupCaption);
  EXPECT_EQ(ItemText(setup, IDC_LOCATION_FIELD), world.Folder());
  EXPECT_NE(ItemText(setup, IDC_SETUP_INFO).find("Version: 2.5\n"), std::string::npos)
      << ItemText(setup, IDC_SETUP_INFO);
  PressEnter(setup);

  HWND progress = WaitForOwnWindow(kRunCaption);
  ASSERT_NE(progress, nullptr) << "Enter did not open the progress page";
  EXPECT_FALSE(::IsWindowVisible(setup));
  ASSERT_TRUE(WaitForAllDone(progress)) << ItemText(progress, IDC_STATUS_LINE);
  EXPECT_EQ(ItemText(progress, IDCANCEL), kQuitButton);
  EXPECT_EQ(StatusColumn(progress), (std::vector<std::string>{"Checksum OK", "Checksum OK",
                                                              "Checksum OK", kInstallerStarted}));
  HWND list = ::GetDlgItem(progress, IDC_JOB_TABLE);
  EXPECT_EQ(ListCell(list, 0, 0), "Install.exe");
  EXPECT_EQ(ListCell(list, 3, 0), "Start Install.exe");
  const std::string title = TextOf(progress);
  EXPECT_TRUE(std::regex_match(title, std::regex("^Quellmoor Tessivane Brenvik Step 2 / 2 - "
                                                 "\\d\\d:\\d\\d:\\d\\d$")))
      << title;
  const auto menu = SystemMenuItems(progress);
  ASSERT_GE(menu.size(), 2u);
  EXPECT_EQ(menu.back(), (std::pair<UINT, std::string>{IDM_ABOUT_ENTRY, kAboutEntry}));

  PressButton(progress, IDCANCEL);  // Quit
  EXPECT_EQ(run.Wait(), kExitSuccess);
  EXPECT_TRUE(world.FolderHoldsRelease());
  EXPECT_EQ(world.launcher.Started(), std::vector<std::string>{world.Folder() + "Install.exe"});
  for (const auto& [name, content] : world.release.Files()) {
    EXPECT_EQ(world.server.Requests(world.release.PathOf(name)), 1) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(world.work.path() / "OrvBrenvik.ini"));
  EXPECT_TRUE(answerer.Texts().empty()) << answerer.Texts().front();
  EXPECT_EQ(FindOwnWindow(""), nullptr) << "a window outlived the wizard";
}

// Enter on the setup page, then the progress page once the download of the
// cab (row 1) reports progress; nullptr when either does not come.
HWND ProgressPageWhileDownloading() {
  HWND setup = WaitForReadySetupPage();
  if (setup == nullptr) return nullptr;
  PressEnter(setup);
  HWND progress = WaitForOwnWindow(kRunCaption);
  if (progress == nullptr) return nullptr;
  HWND list = ::GetDlgItem(progress, IDC_JOB_TABLE);
  const bool downloading =
      WaitUntil([&] { return ListCell(list, 1, 1).ends_with("% downloaded"); });
  return downloading ? progress : nullptr;
}

// Enter on the progress page, pressed twice to confirm or repeated by a
// held key, does not stop the run; once it is over, Enter ends the page as
// Quit does. Escape still stops a run on purpose.
TEST(Win32Wizard, EnterDuringARunLeavesItRunningAndQuitsAfterAllDone) {
  WindowWorld world;
  const std::string big = world.PublishWithCab("big.cab", 200 * 1024,
                                               Behaviour{.trickle = std::chrono::milliseconds(10)});
  BoxAnswerer answerer;
  WizardRun run(world, world.ConfigWithoutInstaller());
  HWND progress = ProgressPageWhileDownloading();
  ASSERT_NE(progress, nullptr) << "no progress page with the cab's download under way";
  for (int press = 0; press < 5; ++press) PressEnter(progress);
  PressButton(progress, IDOK);  // the dialog's OK command itself

  ASSERT_TRUE(WaitForAllDone(progress)) << ItemText(progress, IDC_STATUS_LINE);
  EXPECT_EQ(StatusColumn(progress), (std::vector<std::string>{"Checksum OK", "Checksum OK"}));
  EXPECT_TRUE(answerer.Texts().empty()) << answerer.Texts().front();
  PressEnter(progress);
  EXPECT_EQ(run.Wait(), kExitSuccess);
  EXPECT_TRUE(world.FolderHoldsRelease());
  EXPECT_EQ(world.server.Requests(big), 1);
  EXPECT_TRUE(answerer.Texts().empty());
}

TEST(Win32Wizard, EscapeDuringARunStopsItWithTheContinueLaterMessage) {
  WindowWorld world;
  world.PublishWithCab("big.cab", 400 * 1024, Behaviour{.trickle = std::chrono::milliseconds(20)});
  BoxAnswerer answerer({}, IDOK);
  WizardRun run(world, world.ConfigWithoutInstaller());
  HWND progress = ProgressPageWhileDownloading();
  ASSERT_NE(progress, nullptr) << "no progress page with the cab's download under way";
  PressEscape(progress);

  EXPECT_EQ(run.Wait(), kExitCancelled);
  EXPECT_EQ(answerer.Texts(), std::vector<std::string>{kContinueLaterMessage});
  EXPECT_FALSE(world.FolderHoldsRelease());
}

TEST(Win32Wizard, CancelInMidRunShowsTheContinueLaterMessageAndALaterRunCompletes) {
  WindowWorld world;
  const std::string big = world.PublishWithCab("big.cab", 400 * 1024,
                                               Behaviour{.trickle = std::chrono::milliseconds(20)});
  const SessionConfig config = world.ConfigWithoutInstaller();

  {
    std::atomic<HWND> progress_window = nullptr;
    std::string title_during_box;
    BoxAnswerer answerer({}, IDOK);
    answerer.BeforeAnswer([&](const SeenBox&) { title_during_box = TextOf(progress_window); });
    WizardRun run(world, config);
    HWND setup = WaitForReadySetupPage();
    ASSERT_NE(setup, nullptr);
    PressButton(setup, IDOK);  // Next, this time as a click
    HWND progress = WaitForOwnWindow(kRunCaption);
    ASSERT_NE(progress, nullptr);
    progress_window = progress;
    HWND list = ::GetDlgItem(progress, IDC_JOB_TABLE);
    ASSERT_TRUE(WaitUntil([&] { return ListCell(list, 1, 1).ends_with("% downloaded"); }))
        << ListCell(list, 1, 1);
    PressButton(progress, IDCANCEL);

    EXPECT_EQ(run.Wait(), kExitCancelled);
    const std::vector<SeenBox> boxes = answerer.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kContinueLaterMessage);
    EXPECT_TRUE(boxes[0].has_ok && !boxes[0].has_retry && !boxes[0].has_cancel);
    EXPECT_TRUE(title_during_box.starts_with(kAborting)) << title_during_box;
    EXPECT_FALSE(world.FolderHoldsRelease());
  }

  // The next start of the program: the folder is remembered, only what is
  // missing is fetched.
  world.server.Behave(big);
  world.RestartProgram();
  BoxAnswerer answerer;
  WizardRun run(world, config);
  HWND setup = WaitForReadySetupPage();
  ASSERT_NE(setup, nullptr);
  EXPECT_EQ(ItemText(setup, IDC_LOCATION_FIELD), world.Folder());
  PressEnter(setup);
  HWND progress = WaitForOwnWindow(kRunCaption);
  ASSERT_NE(progress, nullptr);
  ASSERT_TRUE(WaitForAllDone(progress));
  EXPECT_EQ(StatusColumn(progress), (std::vector<std::string>{"Checksum OK", "Checksum OK"}));
  PressButton(progress, IDCANCEL);
  EXPECT_EQ(run.Wait(), kExitSuccess);
  EXPECT_TRUE(world.FolderHoldsRelease());
  EXPECT_EQ(world.server.Requests(world.release.PathOf("Readme.txt")), 1);
  EXPECT_TRUE(answerer.Texts().empty());
}

}  // namespace
}  // namespace brenvik::test
