// The installer's start hands the shell this program's window as the owner
// of what it shows, so that a prompt for administrator rights comes up in
// front of the page instead of behind it.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "platform/installer.h"
#include "platform/utf8_path.h"
#include "support/temp_dir.h"

namespace brenvik::test {
namespace {

TEST(Win32Installer, TheShellIsGivenTheProgramsVisibleWindowAsOwner) {
  TempDir dir;
  const std::string program = Utf8Of(dir.Write("Install.exe", "MZ"));
  const HWND page =
      ::CreateWindowExW(0, L"STATIC", L"Brenvik owner test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                        200, 100, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(page, nullptr);
  void* owner = nullptr;
  SystemInstallerLauncher launcher([&](const std::wstring&, const std::wstring&, void* given) {
    owner = given;
    return static_cast<unsigned long>(ERROR_SUCCESS);
  });
  // As in a run: from a thread of its own, not the window's.
  std::thread([&] { EXPECT_TRUE(launcher.Start(program, Utf8Of(dir.path()))); }).join();
  EXPECT_EQ(owner, page);

  // A hidden window is no owner to show a prompt in front of.
  ::ShowWindow(page, SW_HIDE);
  std::thread([&] { EXPECT_TRUE(launcher.Start(program, Utf8Of(dir.path()))); }).join();
  EXPECT_NE(owner, page);
  ::DestroyWindow(page);
}

}  // namespace
}  // namespace brenvik::test
