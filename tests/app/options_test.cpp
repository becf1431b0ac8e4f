#include "app/options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/program_runner.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"

namespace brenvik {
namespace {

std::variant<Options, UsageError> Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"brenvik"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseOptions(static_cast<int>(argv.size()), argv.data());
}

Options Parsed(std::initializer_list<const char*> args) {
  auto result = Parse(args);
  if (const auto* error = std::get_if<UsageError>(&result)) {
    ADD_FAILURE() << "unexpected usage error: " << error->message;
    return {};
  }
  return std::get<Options>(result);
}

std::string ErrorOf(std::initializer_list<const char*> args) {
  auto result = Parse(args);
  const auto* error = std::get_if<UsageError>(&result);
  return error != nullptr ? error->message : "(no error)";
}

TEST(OptionsTest, NoArgumentsLeaveEveryChoiceToTheWizard) {
  const Options options = Parsed({});
  EXPECT_FALSE(options.server);
  EXPECT_FALSE(options.folder);
  EXPECT_FALSE(options.install);
  EXPECT_FALSE(options.text || options.yes || options.demo || options.help || options.version);
}

TEST(OptionsTest, ServerIsTheBaseUrlWithATrailingSlashInBothForms) {
  EXPECT_EQ(Parsed({"--server", "http://example.test/Orvcd"}).server, "http://example.test/Orvcd/");
  EXPECT_EQ(Parsed({"--server=https://example.test/cd/"}).server, "https://example.test/cd/");
  EXPECT_EQ(Parsed({"--server", "file:///srv/release"}).server, "file:///srv/release/");
  // The catalogue's own address is taken as its folder.
  EXPECT_EQ(Parsed({"--server", "http://example.test/Orvcd/FileList.txt"}).server,
            "http://example.test/Orvcd/");
  EXPECT_EQ(Parsed({"--server", "http://example.test/filelist.TXT"}).server,
            "http://example.test/");
  EXPECT_EQ(Parsed({"--server", "http://example.test/MyFileList.txt"}).server,
            "http://example.test/MyFileList.txt/");
}

TEST(OptionsTest, ServerErrors) {
  EXPECT_EQ(ErrorOf({"--server"}), "option --server needs a URL");
  EXPECT_EQ(ErrorOf({"--server="}), "option --server needs a URL");
  EXPECT_EQ(ErrorOf({"--server", "--text"}), "option --server needs a URL");
  EXPECT_EQ(ErrorOf({"--server", "example.test/cd"}),
            "--server needs an http://, https:// or file:// URL: example.test/cd");
  EXPECT_EQ(ErrorOf({"--server=http://"}),
            "--server needs an http://, https:// or file:// URL: http://");
}

TEST(OptionsTest, FolderIsMadeAbsoluteAndEndsWithTheSeparator) {
  namespace fs = std::filesystem;
  const std::string here = fs::current_path().string();
  EXPECT_EQ(Parsed({"--folder", "/srv/cd"}).folder, "/srv/cd/");
  EXPECT_EQ(Parsed({"--folder=/srv/cd/"}).folder, "/srv/cd/");
  EXPECT_EQ(Parsed({"--folder", "downloads"}).folder, here + "/downloads/");
  EXPECT_EQ(Parsed({"--folder", "./a/../b"}).folder, here + "/b/");
  // Nothing is appended to the folder itself.
  EXPECT_EQ(Parsed({"--folder", "/srv/PellixInstall"}).folder, "/srv/PellixInstall/");
}

TEST(OptionsTest, FolderErrors) {
  EXPECT_EQ(ErrorOf({"--folder"}), "option --folder needs a folder");
  EXPECT_EQ(ErrorOf({"--folder="}), "option --folder needs a folder");
  EXPECT_EQ(ErrorOf({"--folder", "--yes"}), "option --folder needs a folder");
}

TEST(OptionsTest, ConnectionsFromOneToSixteenReachTheConfiguration) {
  EXPECT_EQ(ConfigFromOptions(Parsed({})).connections, 4);
  EXPECT_EQ(ConfigFromOptions(Parsed({"--connections", "1"})).connections, 1);
  EXPECT_EQ(ConfigFromOptions(Parsed({"--connections=16"})).connections, 16);
  const std::string range = "--connections takes a number from 1 to 16: ";
  for (const char* bad : {"0", "17", "-2", "4x", " 4", "99999999999999999999999"}) {
    const std::string arg = std::string("--connections=") + bad;
    EXPECT_EQ(ErrorOf({arg.c_str()}), range + bad) << bad;
  }
  EXPECT_EQ(ErrorOf({"--connections"}), "option --connections needs a number");
  EXPECT_EQ(ErrorOf({"--connections", "--text"}), "option --connections needs a number");
}

TEST(OptionsTest, MaxRateTakesSuffixesAndIsKeptForLaterRuns) {
  EXPECT_EQ(Parsed({"--max-rate", "250000"}).max_rate, 250000u);
  EXPECT_EQ(Parsed({"--max-rate=500k"}).max_rate, 500u * 1024);
  EXPECT_EQ(Parsed({"--max-rate", "2M"}).max_rate, 2u << 20);
  EXPECT_EQ(Parsed({"--max-rate", "16k"}).max_rate, 16u * 1024);
  EXPECT_EQ(Parsed({"--max-rate", "0"}).max_rate, 0u);
  // Too small a share per download would look like a stalled transfer.
  for (const char* bad : {"1X", "k", "-1", "1.5M", "M2", "9999999999999M", "1000", "15k"}) {
    const std::string arg = std::string("--max-rate=") + bad;
    EXPECT_EQ(ErrorOf({arg.c_str()}),
              std::string("--max-rate takes bytes per second, at least 16k, with k or M after "
                          "the number (500k, 2M): ") +
                  bad)
        << bad;
  }
  EXPECT_EQ(ErrorOf({"--max-rate"}), "option --max-rate needs a rate");

  // A limit given is kept for the next run, and 0 lifts it.
  test::TempDir dir;
  const auto config = [&](std::initializer_list<const char*> args) {
    Options options = Parsed(args);
    options.files_folder = dir.path();
    return ConfigFromOptions(options).max_rate;
  };
  EXPECT_EQ(config({}), 0u);
  EXPECT_EQ(config({"--max-rate", "1M"}), 1u << 20);
  EXPECT_EQ(config({}), 1u << 20);
  EXPECT_EQ(config({"--max-rate", "0"}), 0u);
  EXPECT_EQ(config({}), 0u);
}

TEST(OptionsTest, FlagsAndTheLastInstallChoiceWins) {
  const Options options = Parsed({"--text", "--yes", "--demo", "--install"});
  EXPECT_TRUE(options.text);
  EXPECT_TRUE(options.yes);
  EXPECT_TRUE(options.demo);
  EXPECT_EQ(options.install, true);
  EXPECT_EQ(Parsed({"--no-install"}).install, false);
  EXPECT_EQ(Parsed({"--install", "--no-install"}).install, false);
  EXPECT_EQ(Parsed({"--no-install", "--install"}).install, true);
  EXPECT_TRUE(Parsed({"--help"}).help);
  EXPECT_TRUE(Parsed({"-h"}).help);
  EXPECT_TRUE(Parsed({"--version"}).version);
}

TEST(OptionsTest, FlagsTakeNoValue) {
  for (const char* flag : {"--install", "--no-install", "--text", "--yes", "--demo", "--from-menu",
                           "--help", "--version"}) {
    const std::string arg = std::string(flag) + "=1";
    auto result = Parse({arg.c_str()});
    const auto* error = std::get_if<UsageError>(&result);
    ASSERT_NE(error, nullptr) << arg;
    EXPECT_EQ(error->message, "option " + std::string(flag) + " takes no value");
  }
}

TEST(OptionsTest, UnknownOptionsAndStrayArguments) {
  EXPECT_EQ(ErrorOf({"--serve", "http://x/"}), "unknown option: --serve");
  EXPECT_EQ(ErrorOf({"-y"}), "unknown option: -y");
  EXPECT_EQ(ErrorOf({"--text", "extra"}), "unexpected argument: extra");
  // An error anywhere wins over what came before it.
  EXPECT_EQ(ErrorOf({"--help", "--bogus"}), "unknown option: --bogus");
}

TEST(OptionsTest, DemoBringsItsOwnServer) {
  EXPECT_EQ(ErrorOf({"--demo", "--server", "http://x/"}),
            "--demo brings its own server; it cannot be used with --server");
  const Options options = Parsed({"--demo", "--folder", "/srv/demo"});
  EXPECT_TRUE(options.demo);
  EXPECT_EQ(options.folder, "/srv/demo/");
}

TEST(OptionsTest, PublisherKeyIsReadFromItsFileAndReplacesTheBuiltInOne) {
  test::TempDir dir;
  const std::string key_text =
      "untrusted comment: brenvik test key A public key\n"
      "RWTVbvzIMZYrCudexQnVzAYMM8ZUybx6tZdDKjkC0Ehw4ijfcqPvbXhD\n";
  const std::string key = dir.Write("release.pub", key_text).string();
  const Options options = Parsed({"--publisher-key", key.c_str()});
  EXPECT_EQ(options.publisher_key, key_text);
  EXPECT_EQ(ConfigFromOptions(options).publisher_key, key_text);
  EXPECT_EQ(ConfigFromOptions(Parsed({})).publisher_key, kBuiltInPublisherKey);

  const std::string missing = (dir.path() / "none.pub").string();
  EXPECT_EQ(ErrorOf({"--publisher-key", missing.c_str()}),
            "--publisher-key: there is no key file " + missing);
  const std::string folder = dir.path().string();
  EXPECT_EQ(ErrorOf({"--publisher-key", folder.c_str()}),
            "--publisher-key: cannot read the key file " + folder + ": Is a directory");
  const std::string garbage = dir.Write("garbage.pub", "not a key\n").string();
  EXPECT_EQ(
      ErrorOf({"--publisher-key", garbage.c_str()}),
      "--publisher-key: " + garbage + " is not a signify public key: the key is not valid base64");
  const std::string big = dir.Write("big.pub", std::string(5000, 'A')).string();
  EXPECT_EQ(ErrorOf({"--publisher-key", big.c_str()}),
            "--publisher-key: " + big + " is too large for a public key");
  EXPECT_EQ(ErrorOf({"--publisher-key"}), "option --publisher-key needs a key file");
}

TEST(OptionsTest, UsageSaysWhetherCataloguesAreSignatureChecked) {
  const std::string usage = UsageText();
  EXPECT_NE(usage.find("--publisher-key FILE"), std::string::npos);
  EXPECT_NE(usage.find(SignatureCheckLine()), std::string::npos);
  if (*kBuiltInPublisherKey == '\0') {
    EXPECT_NE(usage.find("Catalogues are not signature-checked"), std::string::npos);
  } else {
    EXPECT_NE(usage.find("made with the publisher's key"), std::string::npos);
  }
}

TEST(OptionsTest, UsageNamesEveryOption) {
  const std::string usage = UsageText();
  for (const char* option :
       {"--server URL", "--folder DIR", "--install", "--no-install", "--max-rate RATE", "--text",
        "--yes", "--demo", "--from-menu", "--help", "--version"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
  // It says where --from-menu keeps the two files.
  EXPECT_NE(usage.find("$XDG_STATE_HOME/brenvik/"), std::string::npos);
  EXPECT_NE(usage.find("~/.local/state/brenvik/"), std::string::npos);
  EXPECT_EQ(VersionText(), std::string("brenvik ") + BRENVIK_VERSION + "\n");
}

// Sets, or with nullptr unsets, an environment variable for one scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    Set(value);
  }
  ~ScopedVariable() { Set(previous_ ? previous_->c_str() : nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  void Set(const char* value) const {
    if (value != nullptr) {
      setenv(name_, value, 1);
    } else {
      unsetenv(name_);
    }
  }

  const char* name_;
  std::optional<std::string> previous_;
};

// Where the catalogue and the settings file are kept: the working directory
// from the command line, the state folder from the desktop menu.
class WorkingFilesTest : public ::testing::Test {
 protected:
  std::filesystem::path State() const { return temp_.path() / "state"; }

  test::TempDir temp_;
  ScopedVariable home_{"HOME", (temp_.path() / "home").c_str()};
};

TEST_F(WorkingFilesTest, FromTheCommandLineTheyStayInTheWorkingDirectory) {
  const ScopedVariable state("XDG_STATE_HOME", State().c_str());
  const SessionConfig config = ConfigFromOptions(Parsed({"--text"}));
  EXPECT_EQ(config.catalogue_file, std::filesystem::path("FileList.txt"));
  EXPECT_EQ(config.settings_file, std::filesystem::path("OrvBrenvik.ini"));
  EXPECT_FALSE(std::filesystem::exists(State()));
}

TEST_F(WorkingFilesTest, FromTheMenuTheyGoToTheStateFolderWhichIsCreated) {
  const ScopedVariable state("XDG_STATE_HOME", State().c_str());
  const SessionConfig config = ConfigFromOptions(Parsed({"--from-menu"}));
  EXPECT_EQ(config.catalogue_file, State() / "brenvik" / "FileList.txt");
  EXPECT_EQ(config.settings_file, State() / "brenvik" / "OrvBrenvik.ini");
  EXPECT_TRUE(std::filesystem::is_directory(State() / "brenvik"));
  EXPECT_FALSE(std::filesystem::exists(temp_.path() / "home"));
}

TEST_F(WorkingFilesTest, WithoutAnAbsoluteStateHomeTheHomeFolderIsUsed) {
  const std::filesystem::path expected =
      temp_.path() / "home" / ".local" / "state" / "brenvik" / "";
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/state"}) {
    const ScopedVariable state("XDG_STATE_HOME", value);
    EXPECT_EQ(MenuStateFolder(), expected) << (value ? value : "(unset)");
  }
  const ScopedVariable state("XDG_STATE_HOME", nullptr);
  EXPECT_EQ(ConfigFromOptions(Parsed({"--from-menu"})).settings_file, expected / "OrvBrenvik.ini");
  EXPECT_TRUE(std::filesystem::is_directory(expected));
}

TEST_F(WorkingFilesTest, FilesAlreadyThereAreLeftAlone) {
  const ScopedVariable state("XDG_STATE_HOME", State().c_str());
  temp_.Write("state/brenvik/OrvBrenvik.ini", "[Install]\nFolder=/srv/cd/\n");
  temp_.Write("work/OrvBrenvik.ini", "[Install]\nFolder=/srv/other/\n");
  temp_.Write("work/FileList.txt", "1.0\n0\n");
  const test::ScopedWorkingDirectory in_work(temp_.path() / "work");
  (void)ConfigFromOptions(Parsed({"--from-menu"}));
  (void)ConfigFromOptions(Parsed({}));
  EXPECT_EQ(temp_.Read("state/brenvik/OrvBrenvik.ini"), "[Install]\nFolder=/srv/cd/\n");
  EXPECT_EQ(temp_.Read("work/OrvBrenvik.ini"), "[Install]\nFolder=/srv/other/\n");
  EXPECT_EQ(temp_.Read("work/FileList.txt"), "1.0\n0\n");
}

// The whole program, as the desktop entry starts it: a run keeps its two
// working files in the state folder and none in the working directory.
TEST_F(WorkingFilesTest, TheProgramStartedFromTheMenuKeepsItsFilesInTheStateFolder) {
  test::HttpServer server;
  test::Release release(server);
  release.Add("a.bin", test::RandomBytes(1000, 1));
  release.Publish();
  const test::ProgramRunner runner(temp_);
  const std::filesystem::path work = temp_.path() / "work";
  std::filesystem::create_directories(work);
  const test::Outcome outcome =
      runner.Run(work,
                 {"--from-menu", "--text", "--yes", "--no-install", "--server", server.Url(),
                  "--folder", (temp_.path() / "cd").string()},
                 {{"XDG_STATE_HOME", State().string()}});
  ASSERT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_TRUE(std::filesystem::is_regular_file(State() / "brenvik" / "FileList.txt"));
  EXPECT_TRUE(std::filesystem::is_regular_file(State() / "brenvik" / "OrvBrenvik.ini"));
  EXPECT_FALSE(std::filesystem::exists(work / "FileList.txt"));
  EXPECT_FALSE(std::filesystem::exists(work / "OrvBrenvik.ini"));
}

// The demo started from the menu reads and writes neither the state
// folder's files nor the working directory's: a real download cancelled
// earlier is offered again next time, its catalogue as it was.
TEST_F(WorkingFilesTest, TheDemoLeavesTheUsersWorkingFilesAlone) {
  const std::string settings = "[Install]\nFolder=/srv/real cd/\n";
  const std::string catalogue = "2.0\n0\nbig.bin:0123456789abcdef0123456789abcdef:9\n";
  for (const char* folder : {"state/brenvik/", "work/"}) {
    temp_.Write(std::string(folder) + "OrvBrenvik.ini", settings);
    temp_.Write(std::string(folder) + "FileList.txt", catalogue);
  }
  const test::ProgramRunner runner(temp_);
  const std::filesystem::path work = temp_.path() / "work";
  for (const bool from_menu : {true, false}) {
    SCOPED_TRACE(from_menu ? "--from-menu" : "the command line");
    std::vector<std::string> args = {"--demo", "--text", "--yes"};
    if (from_menu) args.push_back("--from-menu");
    const test::Outcome outcome =
        runner.Run(work, args, {{"BRENVIK_DEMO_RATE", "0"}, {"XDG_STATE_HOME", State().string()}});
    ASSERT_EQ(outcome.status, 0) << outcome.output;
    for (const char* folder : {"state/brenvik/", "work/"}) {
      EXPECT_EQ(temp_.Read(std::string(folder) + "OrvBrenvik.ini"), settings) << folder;
      EXPECT_EQ(temp_.Read(std::string(folder) + "FileList.txt"), catalogue) << folder;
      EXPECT_FALSE(std::filesystem::exists(temp_.path() / folder / "FileList.txt.sig")) << folder;
    }
  }
}

}  // namespace
}  // namespace brenvik
