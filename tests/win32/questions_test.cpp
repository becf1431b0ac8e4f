// The window face's furniture and questions as a person meets them: the
// About box from the system menu, and the message boxes a run asks through
// (a file missing on the server, a full disk before and during the run),
// each found on the screen, read and answered with its own buttons.

#include <gtest/gtest.h>

#include <atomic>

#include "session/exit_status.h"
#include "texts/run_texts.h"
#include "texts/setup_texts.h"
#include "transfer/disk_space.h"
#include "win32/progress_page.h"
#include "win32/resource_ids.h"
#include "win32/window_driver.h"
#include "win32/window_world.h"

namespace brenvik::test {
namespace {

constexpr const char* kAboutTitle = "About Brenvik";
constexpr const char* kAboutName = "Quellmoor Tessivane Brenvik Version 1.1";

bool OnlyRetryAndCancel(const SeenBox& box) {
  return box.has_retry && box.has_cancel && !box.has_ok;
}

// The About entry is the last item of the setup page's system menu, after
// a separator; choosing it (any command id from 16 to 31, as the system
// menu masks the low bits) opens the About box over the page, and its OK
// closes it again.
TEST(Win32Furniture, AboutBoxOpensFromTheSystemMenuAndCloses) {
  WindowWorld world;
  world.release.Add("Readme.txt", RandomBytes(1024, 1));
  world.release.Publish();
  WizardRun run(world);
  HWND setup = WaitForReadySetupPage();
  ASSERT_NE(setup, nullptr);

  const auto menu = SystemMenuItems(setup);
  ASSERT_GE(menu.size(), 3u);
  EXPECT_EQ(menu[menu.size() - 3].first, 0u) << "no separator before the page's own entries";
  EXPECT_EQ(menu[menu.size() - 2].first, UINT{IDM_SPEED_LIMIT_ENTRY});
  EXPECT_EQ(menu.back(), (std::pair<UINT, std::string>{IDM_ABOUT_ENTRY, "&About Brenvik..."}));

  for (WPARAM command : {WPARAM{IDM_ABOUT_ENTRY}, WPARAM{IDM_ABOUT_ENTRY + 0xF}}) {
    ::PostMessageW(setup, WM_SYSCOMMAND, command, 0);
    HWND about = WaitForOwnWindow(kAboutTitle, std::chrono::seconds(10));
    ASSERT_NE(about, nullptr) << "command " << command << " opened no About box";
    EXPECT_EQ(TextOf(about), kAboutTitle);
    EXPECT_EQ(ItemText(about, IDC_ABOUT_NAME), kAboutName);
    EXPECT_EQ(::GetWindow(about, GW_OWNER), setup);
    EXPECT_FALSE(::IsWindowEnabled(setup)) << "the About box is not modal";
    PressButton(about, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return !::IsWindow(about); }, std::chrono::seconds(10)));
    EXPECT_TRUE(WaitUntil([&] { return ::IsWindowEnabled(setup) != FALSE; }));
  }
  // Another system command is not the About entry.
  ::PostMessageW(setup, WM_SYSCOMMAND, IDM_ABOUT_ENTRY + 0x10, 0);
  EXPECT_FALSE(WaitUntil([] { return FindOwnWindow(kAboutTitle) != nullptr; },
                         std::chrono::milliseconds(700)));

  PressButton(setup, IDCANCEL);
  EXPECT_EQ(run.Wait(), kExitCancelled);
  EXPECT_FALSE(std::filesystem::exists(world.work.path() / "OrvBrenvik.ini"));
}

// A file the server does not have: after the attempts the worker makes on
// its own, "Couldn't download ..." asks with Retry and Cancel. Retry tries
// again; Cancel gives the download up, which closes the page through the
// abort wait.
TEST(Win32Questions, MissingFileAsksCouldntDownloadWithRetryAndCancel) {
  WindowWorld world;
  const std::string missing = world.PublishWithCab("a.cab", 10 * 1024, Behaviour{.status = 404});
  std::vector<int> requests_at_box;
  BoxAnswerer answerer({IDRETRY, IDCANCEL}, IDOK);
  answerer.BeforeAnswer(
      [&](const SeenBox&) { requests_at_box.push_back(world.server.Requests(missing)); });
  WizardRun run(world, world.ConfigWithoutInstaller());
  HWND setup = WaitForReadySetupPage();
  ASSERT_NE(setup, nullptr);
  PressEnter(setup);
  ASSERT_NE(WaitForOwnWindow(kRunCaption), nullptr);

  EXPECT_EQ(run.Wait(), kExitCancelled);
  const std::vector<SeenBox> boxes = answerer.Boxes();
  ASSERT_GE(boxes.size(), 2u);
  const std::string failure = "Couldn't download \"" + world.release.BaseUrl() +
                              "2.5/Data/a.cab\".\nPlease contact help@example.test for "
                              "assistance.\nHTTP status 404";
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(boxes[i].title, "Brenvik");
    EXPECT_EQ(boxes[i].text, failure);
    EXPECT_TRUE(OnlyRetryAndCancel(boxes[i])) << "box " << i;
  }
  EXPECT_GT(requests_at_box[1], requests_at_box[0]) << "Retry fetched nothing";
  // Anything after that is the abort message of a tick during the wait.
  for (size_t i = 2; i < boxes.size(); ++i) EXPECT_EQ(boxes[i].text, kContinueLaterMessage);
  EXPECT_EQ(world.downloads.Read("Readme.txt"), world.release.Content("Readme.txt"));
  EXPECT_FALSE(std::filesystem::exists(world.downloads.path() / "Data" / "a.cab"));
}

// A full disk on Next: the space question names the drive and what to
// free; Cancel keeps the setup page as it was, and Next goes on once
// there is room.
TEST(Win32Questions, FullDiskOnNextAsksAndCancelKeepsTheSetupPage) {
  WindowWorld world;
  world.release.Add("Data/a.cab", RandomBytes(20 * 1024, 1));
  world.release.Publish();
  world.free_space.Set(0);
  BoxAnswerer answerer({IDCANCEL}, IDCANCEL);
  WizardRun run(world, world.ConfigWithoutInstaller());
  HWND setup = WaitForReadySetupPage();
  ASSERT_NE(setup, nullptr);
  PressButton(setup, IDOK);

  ASSERT_TRUE(WaitUntil([&] { return answerer.Boxes().size() == 1; }));
  const SeenBox box = answerer.Boxes()[0];
  EXPECT_EQ(box.text, DiskSpaceMessage("/test-drive", 20 * 1024, kSelectAnotherFolderLine));
  EXPECT_TRUE(OnlyRetryAndCancel(box));
  ASSERT_TRUE(WaitUntil([&] { return ItemEnabled(setup, IDOK); }));
  EXPECT_TRUE(::IsWindowVisible(setup));
  EXPECT_EQ(FindOwnWindow(kRunCaption), nullptr);

  world.free_space.Set(UINT64_MAX / 2);
  PressButton(setup, IDOK);
  HWND progress = WaitForOwnWindow(kRunCaption);
  ASSERT_NE(progress, nullptr);
  ASSERT_TRUE(WaitForAllDone(progress));
  PressButton(progress, IDCANCEL);
  EXPECT_EQ(run.Wait(), kExitSuccess);
  EXPECT_EQ(answerer.Boxes().size(), 1u);
}

// A full disk when a worker is about to download: the question comes up
// over the progress page; Cancel ends the page at once with the quit
// result, as a refusal ends the program.
TEST(Win32Questions, FullDiskInTheRunAsksAndCancelQuits) {
  WindowWorld world;
  world.release.Add("Data/a.cab", RandomBytes(10 * 1024, 1));
  world.WriteCatalogue();
  world.free_space.Set(0);
  BoxAnswerer answerer({IDCANCEL}, IDOK);
  WizardRun run(world, world.Config(), [&](Session& session, Prompt& prompt, auto&) {
    const auto engine = session.MakeRun(Handover{world.Folder(), false});
    ProgressPage page(*engine, prompt);
    return static_cast<int>(page.Run());
  });

  EXPECT_EQ(run.Wait(), static_cast<int>(ProgressPage::kQuitResult));
  const std::vector<SeenBox> boxes = answerer.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, DiskSpaceMessage("/test-drive", 10 * 1024, kProgramAbortedLine));
  EXPECT_TRUE(OnlyRetryAndCancel(boxes[0]));
  EXPECT_EQ(world.server.Requests(world.release.PathOf("Data/a.cab")), 0);
}

}  // namespace
}  // namespace brenvik::test
