#include "win32/window_world.h"

#include <commctrl.h>

#include <filesystem>

#include "texts/run_texts.h"
#include "texts/setup_texts.h"
#include "win32/resource_ids.h"
#include "win32/win32_face.h"
#include "win32/win32_prompt.h"
#include "win32/window_driver.h"

namespace brenvik::test {

WindowWorld::WindowWorld() : release(server, "2.5") {}

SessionConfig WindowWorld::Config() const { return WindowTestConfig(release, Folder(), work); }

SessionConfig WindowWorld::ConfigWithoutInstaller() const {
  SessionConfig config = Config();
  config.install = false;
  return config;
}

std::string WindowWorld::PublishWithCab(const std::string& cab_name, size_t cab_size,
                                        Behaviour behaviour) {
  release.Add("Readme.txt", RandomBytes(3 * 1024, 1));
  release.Add("Data/" + cab_name, RandomBytes(cab_size, 2));
  release.Publish();
  const std::string path = release.PathOf("Data/" + cab_name);
  server.Misbehave(path, std::move(behaviour));
  return path;
}

bool WindowWorld::FolderHoldsRelease() const {
  for (const auto& [name, content] : release.Files()) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(downloads.path() / name, error)) return false;
    if (downloads.Read(name) != content) return false;
  }
  return true;
}

HWND WaitForReadySetupPage() {
  HWND setup = WaitForOwnWindow(kSetupCaption);
  if (setup == nullptr || !WaitUntil([&] { return ItemEnabled(setup, IDOK); })) return nullptr;
  return setup;
}

bool WaitForAllDone(HWND progress) {
  return WaitUntil([&] { return ItemText(progress, IDC_STATUS_LINE) == kAllDone; });
}

WizardRun::WizardRun(WindowWorld& world, SessionConfig config, Body body)
    : thread_([this, &world, config = std::move(config), body = std::move(body)] {
        // The pages' controls, for a body that opens a page on its own.
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
        ::InitCommonControlsEx(&controls);
        // The prompt belongs to the thread that runs the pages.
        Win32Prompt prompt;
        WindowWorld::Program& program = *world.program;
        Session session(config, program.process, program.settings, program.catalogue, prompt,
                        world.picker, world.free_space, world.launcher);
        session.InitialiseSetup();
        status_ = body(session, prompt, program);
        ended_ = true;
      }) {}

int WizardRun::RunWizard(Session& session, Prompt& prompt, WindowWorld::Program& program) {
  return RunWin32Wizard(session, program.process.transfer_callback, prompt);
}

WizardRun::~WizardRun() {
  // A test that gave up early leaves pages (or a box) open: cancel them
  // until the wizard has ended, so its thread can be joined.
  for (int round = 0; round < 600 && !Ended(); ++round) {
    CancelOpenWindows();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

std::optional<int> WizardRun::Wait(std::chrono::milliseconds limit) {
  if (!WaitUntil([this] { return Ended(); }, limit)) return std::nullopt;
  return status_.load();
}

}  // namespace brenvik::test
