#include "app/options.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "catalogue/catalogue.h"
#include "catalogue/decimal.h"
#include "catalogue/mirror_list.h"
#include "catalogue/speed_limit_file.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "platform/utf8_path.h"
#include "run/download_worker.h"
#include "texts/setup_texts.h"
#include "verify/signature.h"

namespace brenvik {

namespace {

// The usage text's lines that differ between the builds: the Windows
// build always has its window, no demo, and keeps its state where Windows
// programs do.
#ifdef _WIN32
constexpr const char* kDemoSynopsis = "";
constexpr const char* kFaceUsage =
    "  --text           run in the console instead of the window (in a console of its\n"
    "                   own when not started from one)\n"
    "  --yes            never ask: run in the console instead of the window, accept\n"
    "                   the proposed folder, answer Cancel to every Retry/Cancel\n"
    "                   question\n";
constexpr const char* kDemoUsage = "";
constexpr const char* kFromMenuUsage =
    "  --from-menu      as started from the Start menu: keep FileList.txt and\n"
    "                   OrvBrenvik.ini in %LOCALAPPDATA%\\Brenvik\\, not in the\n"
    "                   working directory\n";
#else
constexpr const char* kDemoSynopsis = "[--demo] ";
constexpr const char* kFaceUsage =
    "  --text           run in the terminal even when a display is there\n"
    "  --yes            never ask: run in the terminal even when a display is there,\n"
    "                   accept the proposed folder, answer Cancel to every\n"
    "                   Retry/Cancel question\n";
constexpr const char* kDemoUsage =
    "  --demo           download a built-in sample release from this machine\n";
constexpr const char* kFromMenuUsage =
    "  --from-menu      as started from the desktop menu: keep FileList.txt and\n"
    "                   OrvBrenvik.ini in $XDG_STATE_HOME/brenvik/ (by default\n"
    "                   ~/.local/state/brenvik/), not in the working directory\n";
#endif

bool HasScheme(std::string_view url) {
  for (std::string_view scheme : {"http://", "https://", "file://"}) {
    if (url.size() > scheme.size() && url.substr(0, scheme.size()) == scheme) return true;
  }
  return false;
}

// The switch that a plain flag turns on; nullptr when `name` is none.
bool* FlagOf(Options& options, std::string_view name) {
  if (name == "--text") return &options.text;
  if (name == "--yes") return &options.yes;
  if (name == "--demo") return &options.demo;
  if (name == "--from-menu") return &options.from_menu;
  if (name == "--help" || name == "-h") return &options.help;
  if (name == "--version") return &options.version;
  return nullptr;
}

std::optional<UsageError> TakeServer(std::optional<std::string> url, Options& options) {
  if (!url || url->empty()) return UsageError{"option --server needs a URL"};
  if (!HasScheme(*url)) {
    return UsageError{"--server needs an http://, https:// or file:// URL: " + *url};
  }
  // The catalogue's own address names its folder: what else could be meant.
  const std::string catalogue = std::string("/") + kCatalogueFileName;
  if (url->size() > catalogue.size() &&
      EqualIgnoringAsciiCase(std::string_view(*url).substr(url->size() - catalogue.size()),
                             catalogue)) {
    url->resize(url->size() - catalogue.size() + 1);
  }
  if (url->back() != '/') url->push_back('/');
  options.server = *url;
  return std::nullopt;
}

// Reads the key file now, so that a wrong one stops the program before
// anything is fetched.
std::optional<UsageError> TakePublisherKey(const std::optional<std::string>& file,
                                           Options& options) {
  if (!file || file->empty()) return UsageError{"option --publisher-key needs a key file"};
  std::string text;
  switch (ReadFileAtMost(PathFromUtf8(*file), kSignatureFileLimit, text)) {
    case SmallFileRead::kOk:
      break;
    case SmallFileRead::kMissing:
      return UsageError{"--publisher-key: there is no key file " + *file};
    case SmallFileRead::kUnreadable:
      return UsageError{"--publisher-key: cannot read the key file " + *file + ": " +
                        std::strerror(errno)};
    case SmallFileRead::kTooLarge:
      return UsageError{"--publisher-key: " + *file + " is too large for a public key"};
  }
  const auto key = ParsePublicKey(text);
  if (const auto* problem = std::get_if<std::string>(&key)) {
    return UsageError{"--publisher-key: " + *file + " is not a signify public key: " + *problem};
  }
  options.publisher_key = std::move(text);
  return std::nullopt;
}

std::optional<UsageError> TakeConnections(const std::optional<std::string>& text,
                                          Options& options) {
  if (!text || text->empty()) return UsageError{"option --connections needs a number"};
  const std::optional<uint64_t> number = ParseWholeNumber(*text, kMostConnections);
  if (!number || *number == 0) {
    return UsageError{"--connections takes a number from 1 to " + std::to_string(kMostConnections) +
                      ": " + *text};
  }
  options.connections = static_cast<int>(*number);
  return std::nullopt;
}

constexpr const char* kRateUsage =
    "--max-rate takes bytes per second, at least 16k, with k or M after the number (500k, 2M)";

// "--max-rate RATE" (see ParseRate); 0 lifts a limit kept from an earlier run.
std::optional<UsageError> TakeMirror(const std::optional<std::string>& url, Options& options) {
  if (!url || url->empty()) return UsageError{"option --mirror needs a URL"};
  std::string why;
  const std::optional<std::string> base = MirrorBaseUrl(*url, why);
  if (!base) return UsageError{"--mirror needs an http:// or https:// URL (" + why + "): " + *url};
  if (options.mirrors.size() >= kMostMirrors) {
    return UsageError{"--mirror may be given at most " + std::to_string(kMostMirrors) + " times"};
  }
  options.mirrors.push_back(*base);
  return std::nullopt;
}

std::optional<UsageError> TakeMaxRate(const std::optional<std::string>& text, Options& options) {
  if (!text || text->empty()) return UsageError{"option --max-rate needs a rate"};
  options.max_rate = ParseRate(*text);
  if (!options.max_rate) return UsageError{std::string(kRateUsage) + ": " + *text};
  return std::nullopt;
}

}  // namespace

std::variant<Options, UsageError> ParseOptions(int argc, const char* const* argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string_view value;
    bool has_inline_value = false;
    std::string_view name = arg;
    if (const size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_inline_value = true;
    }
    auto take_value = [&]() -> std::optional<std::string> {
      if (has_inline_value) return std::string(value);
      // "--folder --yes" forgot the folder; it does not name one called "--yes".
      if (i + 1 >= argc || std::string_view(argv[i + 1]).substr(0, 2) == "--") return std::nullopt;
      return std::string(argv[++i]);
    };
    auto flag = [&](bool& target) -> std::optional<UsageError> {
      if (has_inline_value) return UsageError{"option " + std::string(name) + " takes no value"};
      target = true;
      return std::nullopt;
    };

    std::optional<UsageError> error;
    if (name == "--server") {
      error = TakeServer(take_value(), options);
    } else if (name == "--mirror") {
      error = TakeMirror(take_value(), options);
    } else if (name == "--connections") {
      error = TakeConnections(take_value(), options);
    } else if (name == "--max-rate") {
      error = TakeMaxRate(take_value(), options);
    } else if (name == "--publisher-key") {
      error = TakePublisherKey(take_value(), options);
    } else if (name == "--folder") {
      auto folder = take_value();
      if (!folder || folder->empty()) return UsageError{"option --folder needs a folder"};
      std::error_code ec;
      const std::filesystem::path absolute = std::filesystem::absolute(PathFromUtf8(*folder), ec);
      options.folder = WithTrailingSeparator(ec ? *folder : Utf8Of(absolute.lexically_normal()));
    } else if (name == "--install" || name == "--no-install") {
      bool set = false;
      error = flag(set);
      options.install = name == "--install";
    } else if (bool* target = FlagOf(options, name)) {
      error = flag(*target);
    } else if (arg.substr(0, 1) == "-") {
      return UsageError{"unknown option: " + std::string(arg)};
    } else {
      return UsageError{"unexpected argument: " + std::string(arg)};
    }
    if (error) return *error;
  }
  if (options.demo && options.server) {
    return UsageError{"--demo brings its own server; it cannot be used with --server"};
  }
  return options;
}

std::string UsageText() {
  return std::string(
             "usage: brenvik [--server URL] [--mirror URL]... [--folder DIR]\n"
             "               [--install|--no-install] [--connections N] [--max-rate RATE]\n"
             "               [--text] [--yes] ") +
         kDemoSynopsis +
         "[--from-menu]\n"
         "               [--publisher-key FILE] [--help] [--version]\n"
         "\n"
         "  --server URL     the download server's folder that holds FileList.txt\n"
         "  --mirror URL     also fetch the files (not FileList.txt) from this server, which\n"
         "                   holds the same version folders; may be given several times\n"
         "  --folder DIR     download into DIR itself\n"
         "  --install        start Install.exe when every file is verified (the default)\n"
         "  --no-install     do not start Install.exe\n"
         "  --connections N  use up to N connections to the server, 1 to 16 (default 4):\n"
         "                   N files at once, more where HTTP/2 carries them together\n"
         "  --max-rate RATE  download at most RATE bytes per second in all, at least 16k\n"
         "                   (500k, 2M); kept for later runs, 0 lifts the limit\n" +
         kFaceUsage + kDemoUsage + kFromMenuUsage +
         "  --publisher-key FILE\n"
         "                   trust catalogues signed with this signify public key (instead\n"
         "                   of the built-in one): FileList.txt.sig must verify FileList.txt\n"
         "  --help           show this text\n"
         "  --version        show the version\n"
         "\n" +
         SignatureCheckLine() +
         "\n"
         "Exit status: 0 when every file is verified (and the installer started when asked),\n"
         "1 when the run was cancelled or aborted, 2 for a usage error.\n";
}

std::string SignatureCheckLine() {
  if (*kBuiltInPublisherKey == '\0') {
    return "Catalogues are not signature-checked: this program has no publisher key built in\n"
           "(--publisher-key gives one).\n";
  }
  const auto key = ParsePublicKey(kBuiltInPublisherKey);
  const std::string number =
      std::holds_alternative<PublicKey>(key) ? KeyNumberText(std::get<PublicKey>(key).number) : "?";
  return "Catalogues are used only with a FileList.txt.sig made with the publisher's key\n"
         "built into this program (signify key number " +
         number + ").\n";
}

std::string VersionText() { return std::string("brenvik ") + BRENVIK_VERSION + "\n"; }

namespace {

// The speed limit: the one given, which is kept for later runs, else the
// one kept from an earlier run; 0: none. `file` is where it is kept.
uint64_t TheSpeedLimit(const Options& options, const std::filesystem::path& file) {
  if (!options.max_rate) return LoadSpeedLimit(file).value_or(0);
  // Not kept, it still holds for this run.
  (void)SaveSpeedLimit(file, *options.max_rate);
  return *options.max_rate;
}

void KeepFilesIn(const std::filesystem::path& folder, SessionConfig& config) {
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  config.catalogue_file = folder / kCatalogueFileName;
  config.settings_file = folder / kSettingsFileName;
}

}  // namespace

SessionConfig ConfigFromOptions(const Options& options) {
  SessionConfig config;
  if (options.files_folder || options.from_menu) {
    KeepFilesIn(options.files_folder.value_or(MenuStateFolder()), config);
  } else if (!CanCreateFilesIn({})) {
    // Started from a place this user cannot write to (a system folder, a
    // share): the two files go where a start from the menu keeps them.
    const std::filesystem::path folder = MenuStateFolder();
    std::error_code ignored;
    config.files_moved.new_place = !std::filesystem::exists(folder / kSettingsFileName, ignored);
    KeepFilesIn(folder, config);
    config.files_moved.line = Format(kFilesMovedFormat, Utf8Of(folder).c_str());
  }
  config.base_url = options.server.value_or(BRENVIK_BASE_URL);
  config.mirrors = options.mirrors;
  config.folder = options.folder;
  config.install = options.install;
  if (options.connections) config.connections = *options.connections;
  config.speed_limit_file = options.files_folder.value_or(MenuStateFolder()) / kSpeedLimitFileName;
  config.max_rate = TheSpeedLimit(options, config.speed_limit_file);
  config.unattended = options.yes;
  config.default_folder = DefaultDownloadFolder();
  config.publisher_key = options.publisher_key.value_or(kBuiltInPublisherKey);
  return config;
}

}  // namespace brenvik
