#include "app/options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

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
  for (const char* flag :
       {"--install", "--no-install", "--text", "--yes", "--demo", "--help", "--version"}) {
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

TEST(OptionsTest, UsageNamesEveryOption) {
  const std::string usage = UsageText();
  for (const char* option : {"--server URL", "--folder DIR", "--install", "--no-install", "--text",
                             "--yes", "--demo", "--help", "--version"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(VersionText(), std::string("brenvik ") + BRENVIK_VERSION + "\n");
}

}  // namespace
}  // namespace brenvik
