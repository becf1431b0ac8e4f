#include "setup/setup_flow.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "platform/paths.h"
#include "support/release_fixture.h"
#include "support/scripted_prompt.h"
#include "support/signing_keys.h"
#include "support/temp_dir.h"
#include "texts/setup_texts.h"
#include "transfer/disk_space.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"
#include "verify/signature.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

class ScriptedPicker final : public FolderPicker {
 public:
  std::optional<std::string> PickFolder(const std::string& title) override {
    titles.push_back(title);
    if (picks.empty()) return std::nullopt;
    auto pick = picks.front();
    picks.pop_front();
    return pick;
  }
  std::deque<std::optional<std::string>> picks;
  std::vector<std::string> titles;
};

class SetupFlowTest : public ::testing::Test {
 protected:
  SetupFlowTest() : release_(server_) {}

  SetupFlow MakeFlow() { return MakeFlow(catalogue_, settings_, prompt_, abort_); }
  // A flow over the fixture's server and folders with its own catalogue,
  // settings, prompt and abort flag (a new process would have fresh ones).
  SetupFlow MakeFlow(Catalogue& catalogue, Settings& settings, Prompt& prompt,
                     std::atomic<bool>& abort) {
    return SetupFlow(SetupServices{
        .catalogue = catalogue,
        .abort = abort,
        .settings = settings,
        .callback = callback_,
        .prompt = prompt,
        .free_space = free_space_,
        .picker = picker_,
        .download = DownloadThrough(service_),
        .config = config_,
        .temp_folder = work_.Folder(),
    });
  }
  std::string DefaultFolder() const { return home_.Folder() + "Downloads/PellixInstall/"; }
  SessionConfig Config() const {
    SessionConfig config;
    config.base_url = release_.BaseUrl();
    config.default_folder = DefaultFolder();
    config.catalogue_file = work_.path() / "FileList.txt";
    config.settings_file = work_.path() / "OrvBrenvik.ini";
    return config;
  }

  HttpServer server_;
  Release release_;
  TempDir work_;
  TempDir home_;
  ScriptedPrompt prompt_;
  FakeFreeSpace free_space_;
  ScriptedPicker picker_;
  SessionConfig config_ = Config();
  std::atomic<bool> abort_{false};
  Catalogue catalogue_;
  Settings settings_;
  TransferCallback callback_{abort_};
  DownloadService service_;
};

TEST_F(SetupFlowTest, StatesBeforeDuringAndAfterTheFetch) {
  Release release(server_, "PellixInstall 2.5");
  release.Add("a.bin", RandomBytes(3 * 1024 * 1024 + 5, 1));
  release.Publish();
  SetupFlow flow = MakeFlow();
  EXPECT_EQ(flow.State().info_text, "Trying to connect to " + release_.BaseUrl());

  flow.Initialise();
  SetupState s = flow.State();
  EXPECT_EQ(s.location, DefaultFolder());
  EXPECT_FALSE(s.next_enabled || s.cancel_enabled || s.browse_enabled);
  EXPECT_TRUE(s.install_enabled && s.install_checked);

  std::vector<SetupState> during;
  flow.SetChangeListener([&] { during.push_back(flow.State()); });
  ASSERT_EQ(flow.FetchCatalogue(), FetchOutcome::kReady);
  ASSERT_FALSE(during.empty());
  EXPECT_EQ(during.front().info_text, kDownloadingFileList);
  EXPECT_FALSE(during.front().next_enabled || during.front().cancel_enabled ||
               during.front().browse_enabled);

  s = flow.State();
  EXPECT_EQ(s.info_text,
            "Version:  2.5\nSize: 3 MB\n\n\nClick folder to browse for a download location or "
            "click next to accept the suggested location.");
  EXPECT_TRUE(s.next_enabled && s.cancel_enabled && s.browse_enabled);
  EXPECT_TRUE(fs::exists(work_.path() / "FileList.txt"));
}

TEST_F(SetupFlowTest, FetchFailureRetryThenSuccess) {
  // The question keeps its text and says why on a line of its own, with
  // the address that was not found.
  const std::string kNotFoundQuestion = std::string(kFileListRetryMessage) +
                                        "\nHTTP status 404 for " + release_.BaseUrl() +
                                        "FileList.txt";
  release_.Add("a.bin", "x");
  int asked = 0;
  prompt_.Push(PromptAnswer::kRetry);
  prompt_.SetOnAsk([&](const std::string& text) {
    if (text == kNotFoundQuestion && ++asked == 1) release_.Publish();
  });
  SetupFlow flow = MakeFlow();
  flow.Initialise();
  EXPECT_EQ(flow.FetchCatalogue(), FetchOutcome::kReady);
  EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kNotFoundQuestion}));
  EXPECT_EQ(prompt_.Asked()[0].buttons, PromptButtons::kRetryCancel);
  EXPECT_EQ(server_.Requests("FileList.txt"), 2);
}

TEST_F(SetupFlowTest, FetchGivenUpLeavesOnlyCancel) {
  prompt_.Push(PromptAnswer::kRetry);
  prompt_.Push(PromptAnswer::kCancel);
  SetupFlow flow = MakeFlow();
  flow.Initialise();
  EXPECT_EQ(flow.FetchCatalogue(), FetchOutcome::kGaveUp);
  const SetupState s = flow.State();
  EXPECT_EQ(s.info_text, kFileListDownloadError);
  EXPECT_TRUE(s.cancel_enabled);
  EXPECT_FALSE(s.next_enabled || s.browse_enabled);
  EXPECT_EQ(prompt_.Count(), 2u);
}

TEST_F(SetupFlowTest, MalformedOrUnsafeCatalogueShowsTheLineAndQuits) {
  struct Case {
    std::string text;
    std::string line_message;
  };
  const std::vector<Case> cases = {
      {"# c\n1.0\n0\nok:0123456789abcdef0123456789abcdef:1\nbroken line\n",
       "Error in line 5 in FileList.txt! Couldn't find checksum-separator!"},
      {"1.0\n0\n../../etc/passwd:0123456789abcdef0123456789abcdef:1\n",
       "Error in line 3 in FileList.txt! Unsafe file name!"},
      {"1.0\n0\nsub/:0123456789abcdef0123456789abcdef:0\n",
       "Error in line 3 in FileList.txt! The row names a folder, not a file!"},
#ifdef _WIN32
      // A device name would open the device, not a file in the folder.
      {"1.0\n0\n"
       "Data\\nul.txt\t0123456789abcdef0123456789abcdef\t1\n",
       "Error in line 3 in FileList.txt! Unsafe file name!"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line_message);
    ScriptedPrompt prompt;
    std::atomic<bool> abort{false};
    // The abort flag is set only after the line's message was closed.
    std::vector<bool> abort_when_asked;
    prompt.SetOnAsk([&](const std::string&) { abort_when_asked.push_back(abort.load()); });
    Catalogue catalogue;
    server_.Serve("FileList.txt", c.text);
    SetupFlow flow = MakeFlow(catalogue, settings_, prompt, abort);
    flow.Initialise();
    EXPECT_EQ(flow.FetchCatalogue(), FetchOutcome::kQuit);
    // The catalogue's fault is not blamed on this computer's folder.
    EXPECT_EQ(prompt.Texts(), (std::vector<std::string>{c.line_message}));
    EXPECT_EQ(abort_when_asked, (std::vector<bool>{false}));
    EXPECT_TRUE(abort.load());
  }
}

TEST_F(SetupFlowTest, WhatIsNoCatalogueIsAskedAboutAndNothingOfItShown) {
  const std::string page = "<html><head><title>Maintenance</title></head>\n<body>x</body></html>\n";
  const std::string question = Format(kFileListNotCatalogueError, "the server sent a web page");
  release_.Add("a.bin", "x");
  server_.Serve("FileList.txt", page);
  // Retry brings the real catalogue, which is then taken as ever.
  prompt_.Push(PromptAnswer::kRetry);
  prompt_.SetOnAsk([&](const std::string&) { release_.Publish(); });
  std::vector<std::string> infos;
  SetupFlow flow = MakeFlow();
  flow.SetChangeListener([&] { infos.push_back(flow.State().info_text); });
  flow.Initialise();
  EXPECT_EQ(flow.FetchCatalogue(), FetchOutcome::kReady);
  EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{question}));
  EXPECT_EQ(prompt_.Asked()[0].buttons, PromptButtons::kRetryCancel);
  EXPECT_EQ(catalogue_.RowCount(), 1);
  for (const std::string& info : infos) EXPECT_EQ(info.find("<html>"), std::string::npos) << info;
  EXPECT_FALSE(abort_.load());

  // Cancel gives up: only Cancel is left, and nothing was taken.
  server_.Serve("FileList.txt", "1.0\n0\n# no rows\n");
  ScriptedPrompt prompt;
  prompt.Push(PromptAnswer::kCancel);
  Catalogue catalogue;
  SetupFlow empty = MakeFlow(catalogue, settings_, prompt, abort_);
  empty.Initialise();
  EXPECT_EQ(empty.FetchCatalogue(), FetchOutcome::kGaveUp);
  EXPECT_EQ(prompt.Texts(),
            (std::vector<std::string>{Format(kFileListNotCatalogueError, "no file rows")}));
  EXPECT_EQ(empty.State().info_text, kFileListNotCatalogueInfo);
  EXPECT_FALSE(empty.State().next_enabled);
  EXPECT_EQ(catalogue.RowCount(), 0);
}

TEST_F(SetupFlowTest, ACatalogueLargerThanTheLimitIsStoppedWhileItArrives) {
  server_.Misbehave("FileList.txt", Behaviour{.chunked = true, .filler = size_t{1} << 30});
  prompt_.Push(PromptAnswer::kCancel);
  SetupFlow flow = MakeFlow();
  flow.Initialise();
  EXPECT_EQ(flow.FetchCatalogue(), FetchOutcome::kGaveUp);
  EXPECT_EQ(prompt_.Texts(),
            (std::vector<std::string>{Format(kFileListNotCatalogueError, "larger than 64 MiB")}));
  EXPECT_FALSE(fs::exists(work_.path() / "FileList.txt"));
}

TEST_F(SetupFlowTest, ScratchSpaceRefusalQuits) {
  release_.Add("a.bin", "x");
  release_.Publish(/*scratch=*/5000);
  free_space_.Set(1000);
  prompt_.Push(PromptAnswer::kCancel);
  SetupFlow flow = MakeFlow();
  flow.Initialise();
  EXPECT_EQ(flow.FetchCatalogue(), FetchOutcome::kQuit);
  EXPECT_EQ(prompt_.Texts(),
            (std::vector<std::string>{DiskSpaceMessage("/test-drive", 4000, kScratchSpaceLine)}));
  EXPECT_FALSE(flow.State().next_enabled);
}

TEST_F(SetupFlowTest, BrowseAppendsTheFolderNameTicksTheBoxAndRetriesAFullDrive) {
  release_.Add("a.bin", RandomBytes(4000, 2));
  release_.Publish();
  SetupFlow flow = MakeFlow();
  flow.Initialise();
  ASSERT_EQ(flow.FetchCatalogue(), FetchOutcome::kReady);
  flow.SetInstallChecked(false);

  // Cancelled picker: nothing changes.
  flow.Browse();
  EXPECT_EQ(flow.State().location, DefaultFolder());
  EXPECT_FALSE(flow.State().install_checked);
  EXPECT_EQ(picker_.titles.back(), kPickerTitle);

  // A full drive, Cancel in the space message, and the picker opens again.
  free_space_.Set(100);
  prompt_.Push(PromptAnswer::kCancel);
  picker_.picks = {std::string("/media/full"), std::nullopt};
  flow.Browse();
  EXPECT_EQ(flow.State().location, DefaultFolder());
  EXPECT_EQ(prompt_.Count(), 1u);
  EXPECT_EQ(picker_.titles.size(), 3u);

  free_space_.Set(UINT64_MAX / 2);
  picker_.picks = {std::string("/media/games")};
  flow.Browse();
  const std::string s(1, kSeparator);
  EXPECT_EQ(flow.State().location, "/media/games" + s + "PellixInstall" + s);
  EXPECT_TRUE(flow.State().install_checked);
  EXPECT_TRUE(flow.State().next_enabled);
}

TEST_F(SetupFlowTest, NextCreatesTheDefaultFolderAndHandsOver) {
  release_.Add("a.bin", "x");
  release_.Publish();
  fs::create_directories(home_.path());
  SetupFlow flow = MakeFlow();
  flow.Initialise();
  ASSERT_EQ(flow.FetchCatalogue(), FetchOutcome::kReady);
  const auto handover = flow.Next();
  ASSERT_TRUE(handover);
  EXPECT_EQ(handover->folder, DefaultFolder());
  EXPECT_TRUE(handover->install);
  EXPECT_TRUE(fs::is_directory(DefaultFolder()));
}

TEST_F(SetupFlowTest, NextOnAFullDriveLeavesEverythingAsItWas) {
  release_.Add("a.bin", RandomBytes(10000, 3));
  release_.Publish();
  SetupFlow flow = MakeFlow();
  flow.Initialise();
  ASSERT_EQ(flow.FetchCatalogue(), FetchOutcome::kReady);
  free_space_.Set(0);
  prompt_.Push(PromptAnswer::kRetry);
  prompt_.Push(PromptAnswer::kCancel);
  const SetupState before = flow.State();
  EXPECT_FALSE(flow.Next());
  EXPECT_EQ(prompt_.Count(), 2u);
  EXPECT_EQ(flow.State().location, before.location);
  EXPECT_TRUE(flow.State().next_enabled);
}

TEST_F(SetupFlowTest, StoredFolderIsProposed) {
  settings_.SetStoredFolder(work_.Folder() + "kept/");
  ASSERT_TRUE(settings_.Save(work_.path() / "OrvBrenvik.ini"));
  Settings fresh;
  SetupFlow flow = MakeFlow(catalogue_, fresh, prompt_, abort_);
  flow.Initialise();
  EXPECT_EQ(flow.State().location, work_.Folder() + "kept/");
}

// With a publisher key: the catalogue is served with FileList.txt.sig,
// made by `key` over `signed_text` (the catalogue itself unless given).
class SignedCatalogueTest : public SetupFlowTest {
 protected:
  SignedCatalogueTest() {
    config_.publisher_key = PublicKeyText(kPublisherTestKey, "publisher's key");
    release_.Add("a.bin", RandomBytes(2000, 7));
    release_.Publish();
  }
  void ServeSignature(const SigningKey& key, std::optional<std::string> signed_text = {}) {
    server_.Serve("FileList.txt.sig", SignatureOf(key, signed_text.value_or(CatalogueText())));
  }
  std::string CatalogueText() const { return release_.CatalogueText(); }
  // Runs the fetch as a fresh process would, answering Cancel to the first
  // question; `prompt` records what was asked, `catalogue` what was loaded.
  FetchOutcome Fetch(ScriptedPrompt& prompt, Catalogue& catalogue) {
    prompt.Push(PromptAnswer::kCancel);
    Settings settings;
    std::atomic<bool> abort{false};
    SetupFlow flow = MakeFlow(catalogue, settings, prompt, abort);
    flow.Initialise();
    const FetchOutcome outcome = flow.FetchCatalogue();
    info_text_ = flow.State().info_text;
    return outcome;
  }
  FetchOutcome Fetch() { return Fetch(prompt_, catalogue_); }
  std::string info_text_;
};

// A list of mirrors the key does not vouch for is said once and not used:
// the run has the chosen server alone.
TEST_F(SignedCatalogueTest, AnUnsignedListOfMirrorsIsSaidAndNotUsed) {
  ServeSignature(kPublisherTestKey);
  const std::string list = "https://eu.example.test/cd/\n";
  server_.Serve("Mirrors.txt", list);
  Settings settings;
  std::atomic<bool> abort{false};
  SetupFlow flow = MakeFlow(catalogue_, settings, prompt_, abort);
  flow.Initialise();
  ASSERT_EQ(flow.FetchCatalogue(), FetchOutcome::kReady);
  EXPECT_TRUE(flow.Mirrors().empty());
  ASSERT_EQ(prompt_.Count(), 1u);
  EXPECT_EQ(prompt_.Texts().front().rfind("Mirrors.txt is not used (", 0), 0u)
      << prompt_.Texts().front();
  EXPECT_EQ(prompt_.Asked().front().buttons, PromptButtons::kOk);
}

TEST_F(SignedCatalogueTest, ACatalogueSignedWithTheKeyIsLoaded) {
  ServeSignature(kPublisherTestKey);
  EXPECT_EQ(Fetch(), FetchOutcome::kReady);
  EXPECT_EQ(prompt_.Count(), 0u) << prompt_.Texts().front();
  EXPECT_EQ(catalogue_.Version(), "1.0");
  EXPECT_EQ(catalogue_.Entries().size(), 1u);
  EXPECT_EQ(server_.Requests("FileList.txt.sig"), 1);
}

TEST_F(SignedCatalogueTest, EachWayOfFailingIsNamedAndOffersRetryAndCancel) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string said;
  };
  const std::string changed = CatalogueText() + "# one more line\n";
  const std::vector<Case> cases = {
      {"changed after signing",
       [&] {
         ServeSignature(kPublisherTestKey);
         server_.Serve("FileList.txt", changed);
       },
       "the signature FileList.txt.sig is not valid for this FileList.txt"},
      {"missing", [&] { server_.Remove("FileList.txt.sig"); },
       "the signature FileList.txt.sig is missing (HTTP status 404)"},
      {"another key", [&] { ServeSignature(kOtherTestKey); },
       "the signature FileList.txt.sig was made with another key (key number 98897a6b5c4d3e2f, "
       "the trusted key is number 1021324354657687)"},
      {"garbage", [&] { server_.Serve("FileList.txt.sig", RandomBytes(100, 8)); },
       "the signature FileList.txt.sig is unreadable (not a comment line followed by one "
       "signature line)"},
      {"too large", [&] { server_.Serve("FileList.txt.sig", RandomBytes(1 << 20, 9)); },
       "the signature FileList.txt.sig is too large (the server sent more than 4096 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    release_.Publish();
    c.arrange();
    ScriptedPrompt prompt;
    Catalogue catalogue;
    EXPECT_EQ(Fetch(prompt, catalogue), FetchOutcome::kGaveUp);
    ASSERT_EQ(prompt.Count(), 1u);
    const std::string question = prompt.Texts()[0];
    EXPECT_NE(question.find("FileList.txt is not signed by the publisher: " + c.said),
              std::string::npos)
        << question;
    EXPECT_NE(question.find("Nothing has been downloaded or started."), std::string::npos);
    EXPECT_EQ(prompt.Asked()[0].buttons, PromptButtons::kRetryCancel);
    EXPECT_EQ(info_text_, kFileListSignatureInfo);
    EXPECT_EQ(catalogue.Entries().size(), 0u);
    EXPECT_EQ(server_.Requests(release_.PathOf("a.bin")), 0);
  }
  // Nothing of the oversized signature was kept (the garbage one before it
  // stays under the final name).
  EXPECT_FALSE(fs::exists(work_.path() / "FileList.txt.sig.part"));
  EXPECT_LE(fs::file_size(work_.path() / "FileList.txt.sig"), kSignatureFileLimit);
}

TEST_F(SignedCatalogueTest, RetryFetchesTheCatalogueAndItsSignatureAgain) {
  ServeSignature(kOtherTestKey);
  prompt_.Push(PromptAnswer::kRetry);
  prompt_.SetOnAsk([&](const std::string&) { ServeSignature(kPublisherTestKey); });
  SetupFlow flow = MakeFlow();
  flow.Initialise();
  EXPECT_EQ(flow.FetchCatalogue(), FetchOutcome::kReady);
  EXPECT_EQ(prompt_.Count(), 1u);
  // A signature that does not fit has both fetched once more before the
  // question; Retry fetches them again.
  EXPECT_EQ(server_.Requests("FileList.txt"), 3);
  EXPECT_EQ(server_.Requests("FileList.txt.sig"), 3);
  EXPECT_EQ(catalogue_.Version(), "1.0");
}

TEST_F(SignedCatalogueTest, WithoutAKeyNoSignatureIsAskedFor) {
  config_.publisher_key.clear();
  EXPECT_EQ(Fetch(), FetchOutcome::kReady);
  EXPECT_EQ(server_.Requests("FileList.txt.sig"), 0);
}

}  // namespace
}  // namespace brenvik::test
