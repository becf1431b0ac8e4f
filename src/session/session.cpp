#include "session/session.h"

#include <filesystem>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "catalogue/speed_limit_file.h"
#include "platform/free_space.h"
#include "platform/installer.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"
#include "session/startup.h"

namespace brenvik {

namespace {

#ifdef _WIN32
constexpr const char* kFallbackTempFolder = "C:\\Temp\\";
#else
constexpr const char* kFallbackTempFolder = "/tmp/";
#endif

std::string TempFolder() {
  std::error_code ec;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  return ec ? std::string(kFallbackTempFolder) : WithTrailingSeparator(Utf8Of(temp));
}

}  // namespace

Session::Session(SessionConfig config, ProcessObjects& process, Settings& settings,
                 Catalogue& catalogue, Prompt& prompt, FolderPicker& picker, FreeSpace& free_space,
                 InstallerLauncher& launcher)
    : config_(std::move(config)),
      process_(process),
      settings_(settings),
      catalogue_(catalogue),
      prompt_(prompt),
      free_space_(free_space),
      launcher_(launcher),
      connections_(config_.connections),
      catalogue_download_(&connections_),
      side_download_(&connections_),
      setup_(SetupServices{
          .catalogue = catalogue,
          .abort = process.flags.abort,
          .settings = settings,
          .callback = process.transfer_callback,
          .prompt = prompt,
          .free_space = free_space,
          .picker = picker,
          .download = DownloadThrough(catalogue_download_),
          .side_download = DownloadThrough(side_download_),
          .config = config_,
          .temp_folder = TempFolder(),
      }) {
  connections_.Limit().Set(config_.max_rate);
  catalogue_download_.SetStallTimeout(config_.stall_timeout);
  side_download_.SetStallTimeout(config_.stall_timeout);
}

void Session::InitialiseSetup() {
  setup_.Initialise();
  if (config_.install) setup_.SetInstallChecked(*config_.install);
}

std::unique_ptr<RunEngine> Session::MakeRun(const Handover& handover) {
  return std::make_unique<RunEngine>(
      RunServices{
          // The setup step is over: its catalogue moves to the run.
          .catalogue = std::move(catalogue_),
          .settings = settings_,
          .flags = process_.flags,
          .prompt = prompt_,
          .free_space = free_space_,
          .launcher = launcher_,
          .config = config_,
          .first_service = &catalogue_download_,
          .hub = &connections_,
          .mirrors = setup_.Mirrors(),
      },
      handover.folder, handover.install);
}

bool Session::SetSpeedLimit(std::string_view text) {
  const std::optional<uint64_t> rate = ParseRate(text);
  if (!rate) return false;
  connections_.Limit().Set(*rate);
  // Not kept, it still holds for this run.
  if (!config_.speed_limit_file.empty()) (void)SaveSpeedLimit(config_.speed_limit_file, *rate);
  return true;
}

int RunWindowWizard(const SessionConfig& config, Prompt& prompt, FolderPicker& picker,
                    const std::function<int(Session&, TransferCallback&)>& run_wizard) {
  SystemFreeSpace free_space;
  SystemInstallerLauncher launcher;
  ProcessObjects process;
  if (config.files_moved.new_place) {
    (void)prompt.Ask(config.files_moved.line, PromptButtons::kOk, PromptIcon::kNone);
  }
  return StartUp(prompt, [&](Settings& settings, Catalogue& catalogue) {
    Session session(config, process, settings, catalogue, prompt, picker, free_space, launcher);
    session.InitialiseSetup();
    return run_wizard(session, process.transfer_callback);
  });
}

}  // namespace brenvik
