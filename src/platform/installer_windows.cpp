// windows.h first: the shell headers build on its definitions.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdint>
#include <filesystem>
#include <system_error>

#include "platform/installer.h"
#include "platform/utf8_path.h"

namespace brenvik {

bool SystemInstallerLauncher::Start(const std::string& path, const std::string& working_dir) {
  if (path.empty()) return false;
  std::error_code error;
  // The program runs in another folder, so a relative path must not be
  // resolved there.
  const std::filesystem::path program = std::filesystem::absolute(PathFromUtf8(path), error);
  if (error || !std::filesystem::is_regular_file(program, error)) return false;
  const std::filesystem::path folder = PathFromUtf8(working_dir);
  // ShellExecuteW reports success as a value above 32, failures as the
  // small error codes below it.
  const HINSTANCE result =
      ShellExecuteW(nullptr, L"open", program.c_str(), nullptr,
                    working_dir.empty() ? nullptr : folder.c_str(), SW_SHOWNORMAL);
  return reinterpret_cast<intptr_t>(result) > 32;
}

}  // namespace brenvik
