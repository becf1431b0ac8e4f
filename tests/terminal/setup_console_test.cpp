#include "terminal/setup_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"
#include "terminal/console.h"
#include "terminal/terminal_prompt.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
    text.push_back(static_cast<char>(c));
  return text;
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// The setup step over a real catalogue fetch, with the answers typed into a
// pipe and what is shown and asked kept in two files.
class SetupConsoleTest : public ::testing::Test {
 protected:
  SetupConsoleTest() : release_(server_) {
    EXPECT_EQ(::pipe2(answers_, O_CLOEXEC), 0);
    output_ = std::tmpfile();
    questions_ = std::tmpfile();
    release_.Add("a.bin", RandomBytes(3000, 31));
    release_.Publish();
  }
  ~SetupConsoleTest() override {
    ::close(answers_[0]);
    if (answers_[1] >= 0) ::close(answers_[1]);
    std::fclose(output_);
    std::fclose(questions_);
  }

  void Type(const std::string& text) {
    ASSERT_EQ(::write(answers_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Runs the whole step as the terminal face does.
  std::optional<Handover> RunStep(bool automatic, SetupChoices choices,
                                  std::optional<std::string> given_folder = std::nullopt) {
    Console console(
        ConsoleStreams{.input_fd = answers_[0], .output = output_, .questions = questions_});
    TerminalPrompt prompt(console, automatic, interrupted_);
    TerminalFolderPicker picker(prompt);
    SessionConfig config;
    config.base_url = release_.BaseUrl();
    config.default_folder = home_.Folder() + "Downloads/PellixInstall/";
    config.folder = given_folder;
    config.catalogue_file = work_.path() / "FileList.txt";
    config.settings_file = work_.path() / "OrvBrenvik.ini";
    SetupFlow flow(SetupServices{
        .catalogue = catalogue_,
        .abort = abort_,
        .settings = settings_,
        .callback = callback_,
        .prompt = prompt,
        .free_space = free_space_,
        .picker = picker,
        .download = DownloadThrough(service_),
        .config = config,
        .temp_folder = work_.Folder(),
    });
    SetupConsole setup(flow, console, prompt, picker, choices, interrupted_);
    setup.Begin();
    flow.Initialise();
    return setup.Run();
  }

  HttpServer server_;
  Release release_;
  TempDir work_;
  TempDir home_;
  FakeFreeSpace free_space_;
  std::atomic<bool> abort_{false};
  std::atomic<bool> interrupted_{false};
  Catalogue catalogue_;
  Settings settings_;
  TransferCallback callback_{abort_};
  DownloadService service_;
  int answers_[2] = {-1, -1};
  std::FILE* output_ = nullptr;
  std::FILE* questions_ = nullptr;
};

TEST_F(SetupConsoleTest, ATypedFolderGoesThroughBrowseAndEnterAcceptsIt) {
  const std::string games = work_.Folder() + "games";
  Type(games + "\n\nn\n");
  const std::optional<Handover> handover = RunStep(false, SetupChoices{});
  ASSERT_TRUE(handover);
  EXPECT_EQ(handover->folder, games + "/PellixInstall/");
  EXPECT_FALSE(handover->install);

  const std::string shown = Contents(output_);
  EXPECT_EQ(
      shown.rfind("Quellmoor Tessivane Brenvik Step 1 / 2\nQuellmoor Tessivane - download tool\n\n"
                  "Trying to connect to " +
                      release_.BaseUrl() +
                      "\n"
                      "Please wait, downloading filelist from server...\n"
                      "Version: 1.0\nSize: 0 MB\n\n"
                      "Press Enter below to accept the suggested location, or type another "
                      "folder.\n",
                  0),
      0u)
      << shown;
  // The window's instruction names a button and a Next the terminal has not.
  EXPECT_FALSE(Contains(shown, "Click")) << shown;
  EXPECT_TRUE(Contains(shown, "Download location: " + home_.Folder() +
                                  "Downloads/PellixInstall/\n"
                                  "Download location: " +
                                  games + "/PellixInstall/\n"))
      << shown;
  // The answer stands after its question; the choice is not repeated.
  EXPECT_TRUE(
      Contains(Contents(questions_), "Install the game when download is completed? [Y/n] "));
  EXPECT_FALSE(Contains(shown, "Install the game when download is completed")) << shown;
}

TEST_F(SetupConsoleTest, AFullDriveAsksAgainAndThePickerCanBeCancelled) {
  const std::string games = work_.Folder() + "games";
  free_space_.Set(10);  // too little for the release anywhere
  // The typed folder is refused: Cancel reopens the picker, an empty line
  // cancels it; Enter keeps the shown folder, whose Next is refused too.
  Type(games + "\nc\n\n\n\nc\n");
  ::close(answers_[1]);
  answers_[1] = -1;
  EXPECT_FALSE(RunStep(false, SetupChoices{}));

  const std::string asked = Contents(questions_);
  EXPECT_TRUE(Contains(asked,
                       "(Click Cancel to select another folder)\n\nClick RETRY to try again.\n"
                       "[R]etry / [C]ancel? "))
      << asked;
  EXPECT_TRUE(Contains(asked,
                       "A folder called \"PellixInstall\" will be created there.\n"
                       "Folder (empty to cancel): "))
      << asked;
  // The input ended at the second refusal's question: nobody is left to ask.
  EXPECT_TRUE(Contains(asked, "[R]etry / [C]ancel? Cancel\n")) << asked;
  EXPECT_FALSE(Contains(Contents(output_), "Download location: " + games)) << Contents(output_);
}

TEST_F(SetupConsoleTest, GivenFolderAndInstallChoiceAreNotAskedFor) {
  const std::string given = work_.Folder() + "given/";
  const std::optional<Handover> handover =
      RunStep(false, SetupChoices{.ask_folder = false, .install = false}, given);
  ASSERT_TRUE(handover);
  EXPECT_EQ(handover->folder, given);
  EXPECT_FALSE(handover->install);
  EXPECT_EQ(Contents(questions_), "");
  EXPECT_TRUE(Contains(
      Contents(output_),
      "Download location: " + given + "\nInstall the game when download is completed: No\n"));
}

TEST_F(SetupConsoleTest, AutomaticTakesTheProposedFolderAndTicksInstall) {
  Type("/somewhere/else\nn\n");  // never read
  const std::optional<Handover> handover = RunStep(true, SetupChoices{});
  ASSERT_TRUE(handover);
  EXPECT_EQ(handover->folder, home_.Folder() + "Downloads/PellixInstall/");
  EXPECT_TRUE(handover->install);
  EXPECT_EQ(Contents(questions_), "");
  // Nothing is asked, so nothing is said about what to do.
  const std::string shown = Contents(output_);
  EXPECT_TRUE(Contains(shown, "Version: 1.0\nSize: 0 MB\n\nDownload location: ")) << shown;
  EXPECT_FALSE(Contains(shown, "Click") || Contains(shown, "Press Enter")) << shown;
  // Next made the default folder.
  EXPECT_TRUE(fs::is_directory(home_.path() / "Downloads" / "PellixInstall"));
}

TEST_F(SetupConsoleTest, AGivenUpFetchEndsTheStep) {
  server_.Remove("FileList.txt");
  EXPECT_FALSE(RunStep(true, SetupChoices{}));
  EXPECT_TRUE(Contains(Contents(output_), "Error downloading the filelist from server...\n"));
  EXPECT_TRUE(Contains(Contents(questions_), "[R]etry / [C]ancel? Cancel\n"));
}

TEST(TypedFolderTest, IsAbsoluteWithHomeAndDotsResolved) {
  const std::string here = fs::current_path().string();
  EXPECT_EQ(TypedFolder(""), "");
  EXPECT_EQ(TypedFolder("  "), "");
  EXPECT_EQ(TypedFolder("/srv/./cd/../games "), "/srv/games");
  EXPECT_EQ(TypedFolder("games"), here + "/games");
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') {
    EXPECT_EQ(TypedFolder("~/games"),
              fs::path(std::string(home) + "/games").lexically_normal().string());
    EXPECT_EQ(TypedFolder("~other"), here + "/~other");
  }
}

}  // namespace
}  // namespace brenvik::test
