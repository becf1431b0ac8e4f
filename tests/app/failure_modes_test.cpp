// How the program meets a hostile server, a flaky network and a careless
// hand: one table, each row a server misbehaviour or a local condition, the
// command line it is run with, and what must come of it: the exit status,
// what the output says (and must not say), and what is on disk afterwards.
// Every row runs the built program against a real HTTP server on 127.0.0.1
// in folders of its own.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/folder_lock.h"
#include "support/http_server.h"
#include "support/program_runner.h"
#include "support/release_fixture.h"
#include "support/signing_keys.h"
#include "support/temp_dir.h"
#include "verify/md5.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

// What a row acts on.
struct World {
  HttpServer& server;
  Release& release;
  const TempDir& sandbox;
  fs::path work;     // the working directory
  fs::path folder;   // the download folder
  fs::path outside;  // a folder beside it that nothing may touch
  FolderLock held;   // a lock on the download folder, as another run holds it
};

struct FailureMode {
  const char* name;
  std::function<void(World&)> arrange;  // publishes the release and sets the scene
  int exit_status;
  std::vector<std::string> said;      // texts the output holds
  std::vector<std::string> not_said;  // texts it must not hold
  std::function<void(const World&)> on_disk;
  // Why the row cannot run here (empty: it can).
  std::function<std::string()> skip_reason = [] { return std::string(); };
  RunLimits limits = {};
  std::map<std::string, std::string> env = {};
  bool windowed = false;       // no --text: a window may open
  bool stored_folder = false;  // no --folder: the settings file names it
  // Run with --publisher-key naming kPublisherTestKey's public key file.
  bool publisher_key = false;
  std::vector<std::string> extra_args = {};
  bool install = false;  // --install instead of --no-install
};

void Write(const fs::path& file, const std::string& content) {
  fs::create_directories(file.parent_path());
  FILE* f = std::fopen(file.c_str(), "wb");
  ASSERT_NE(f, nullptr) << file;
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

uint64_t BytesUnder(const fs::path& dir) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

bool Empty(const fs::path& dir) { return fs::is_empty(dir); }

std::string Folder(const World& world) { return world.folder.string() + "/"; }

std::string RootReason() {
  return ::geteuid() == 0 ? "file permissions do not bind root, and CI runs as root" : "";
}

// Every file of the release is in the folder with its content, as a plain file.
void AllThere(const World& world) {
  for (const auto& [name, content] : world.release.Files()) {
    const fs::path file = world.folder / name;
    EXPECT_FALSE(fs::is_symlink(file)) << name;
    EXPECT_TRUE(ReadBytes(file) == content) << name << " does not hold its content";
  }
}

std::string UpperCaseCatalogue(const Release& release) {
  std::string text = release.Version() + "\n0\n";
  for (const auto& [name, content] : release.Files()) {
    std::string digest = Md5Hex(Md5Of(content.data(), content.size()));
    for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    text += name + "\t" + digest + "\t" + std::to_string(content.size()) + "\n";
  }
  return text;
}

// A release of one file whose catalogue is served with FileList.txt.sig,
// made by `key` over the catalogue as it is published.
void PublishSigned(World& w, const SigningKey& key) {
  w.release.Add("a.bin", RandomBytes(1000, 14));
  w.release.Publish();
  w.server.Serve("FileList.txt.sig", SignatureOf(key, w.release.CatalogueText()));
}

// What a row whose signature fails leaves: no file fetched, no folder made.
void NothingFetched(const World& w) {
  EXPECT_EQ(w.server.Requests(w.release.PathOf("a.bin")), 0);
  EXPECT_FALSE(fs::exists(w.folder));
}

// A signed release whose signature check fails: it says what failed, and
// nothing is fetched or started.
FailureMode SignatureFailure(const char* name, std::function<void(World&)> arrange,
                             std::string said) {
  return {.name = name,
          .arrange = std::move(arrange),
          .exit_status = 1,
          .said = {"FileList.txt is not signed by the publisher: " + said,
                   "Nothing has been downloaded or started."},
          .not_said = {"Version:", "All Done."},
          .on_disk = NothingFetched,
          .publisher_key = true};
}

// What arrived as FileList.txt is no catalogue: the question says what it
// is, nothing of it is shown, nothing is fetched, and the user's folder is
// not blamed.
FailureMode NotACatalogue(const char* name, std::function<void(World&)> arrange, std::string what) {
  return {.name = name,
          .arrange = std::move(arrange),
          .exit_status = 1,
          .said = {"FileList.txt from the server is not a catalogue: " + what + ".",
                   "Nothing has been downloaded or started."},
          .not_said = {"Version:", "All Done.", "read/write access"},
          .on_disk = [](const World& w) { EXPECT_FALSE(fs::exists(w.folder)); }};
}

const std::vector<FailureMode>& Table() {
  static const std::vector<FailureMode> table = {
      {.name = "SymlinkedSubfolderLeadingOut",
       .arrange =
           [](World& w) {
             w.release.Add("link/evil.txt", "evil\n");
             w.release.Publish();
             fs::create_directories(w.folder);
             fs::create_directory_symlink(w.outside, w.folder / "link");
           },
       .exit_status = 1,
       .said = {"symbolic link"},
       .not_said = {"All Done."},
       .on_disk = [](const World& w) { EXPECT_TRUE(Empty(w.outside)); }},
      {.name = "PartialFileThatIsASymlink",
       .arrange =
           [](World& w) {
             w.release.Add("victim.txt", "fresh content\n");
             w.release.Publish();
             Write(w.outside / "precious.txt", "precious\n");
             fs::create_directories(w.folder);
             fs::create_symlink(w.outside / "precious.txt", w.folder / "victim.txt.part");
           },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {},
       .on_disk =
           [](const World& w) {
             EXPECT_EQ(ReadBytes(w.outside / "precious.txt"), "precious\n");
             AllThere(w);
           }},
      {.name = "FilesThatAreHardLinksToFilesOutside",
       .arrange =
           [](World& w) {
             // As a folder copied with its files linked (cp -al) looks: a
             // verified file, a wrong one and a partial file with its
             // validator, each also named outside.
             w.release.Add("a.bin", RandomBytes(30000, 20));
             w.release.Add("b.bin", RandomBytes(60000, 21));
             w.release.Add("c.bin", RandomBytes(30000, 22));
             w.release.Publish();
             w.server.Misbehave(w.release.PathOf("b.bin"), Behaviour{.etag = "\"b1\""});
             Write(w.outside / "a.bin", w.release.Content("a.bin"));
             Write(w.outside / "b.bin.part", w.release.Content("b.bin").substr(0, 20000));
             Write(w.outside / "b.bin.part.validator", "\"b1\"");
             Write(w.outside / "c.bin", RandomBytes(30000, 23));
             fs::create_directories(w.folder);
             for (const char* name : {"a.bin", "b.bin.part", "b.bin.part.validator", "c.bin"}) {
               fs::create_hard_link(w.outside / name, w.folder / name);
             }
             Write(w.sandbox.path() / "outside-before",
                   ReadBytes(w.outside / "b.bin.part") + ReadBytes(w.outside / "c.bin"));
           },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {},
       .on_disk =
           [](const World& w) {
             AllThere(w);
             EXPECT_EQ(ReadBytes(w.outside / "a.bin"), w.release.Content("a.bin"));
             EXPECT_TRUE(ReadBytes(w.outside / "b.bin.part") + ReadBytes(w.outside / "c.bin") ==
                         ReadBytes(w.sandbox.path() / "outside-before"))
                 << "a file outside the folder was written";
             EXPECT_EQ(ReadBytes(w.outside / "b.bin.part.validator"), "\"b1\"");
             // The partial file started over instead of continuing.
             EXPECT_EQ(w.server.LastRange(w.release.PathOf("b.bin")), "");
             EXPECT_EQ(w.server.Requests(w.release.PathOf("a.bin")), 0);
           }},
      {.name = "FolderInUseByAnotherRun",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(30000, 24));
             w.release.Publish();
             Write(w.folder / "a.bin.part", "kept for the run that holds the folder");
             w.held = FolderLock::Take(w.folder);
             ASSERT_EQ(w.held.State(), FolderLockState::kHeld);
           },
       .exit_status = 1,
       .said = {"The folder \"", "\" is in use by another Brenvik run."},
       .not_said = {"All Done.", "cannot rename", "continue downloading this CD at a later time"},
       .on_disk =
           [](const World& w) {
             EXPECT_EQ(w.server.Requests(w.release.PathOf("a.bin")), 0);
             EXPECT_EQ(ReadBytes(w.folder / "a.bin.part"),
                       "kept for the run that holds the folder");
             EXPECT_EQ(std::distance(fs::directory_iterator(w.folder), fs::directory_iterator()),
                       1);
             EXPECT_FALSE(fs::exists(w.work / "OrvBrenvik.ini"));
           }},
      {.name = "CatalogueListsAFileAndItsPartialName",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(50000, 1));
             w.release.Add("a.bin.part", RandomBytes(40000, 2));
             w.release.Publish();
             Write(w.folder / "a.bin.part", w.release.Content("a.bin.part"));
           },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {},
       .on_disk = AllThere},
      {.name = "StoredFolderWithoutItsSeparator",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 3));
             w.release.Publish();
             Write(w.work / "OrvBrenvik.ini", "# OrvBrenvik.ini\n" + w.folder.string() + "\n");
           },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {},
       .on_disk =
           [](const World& w) {
             AllThere(w);
             EXPECT_FALSE(fs::exists(w.folder.string() + "a.bin"));
           },
       .stored_folder = true},
      {.name = "UpperCaseDigests",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(3000, 4));
             w.release.Add("b.bin", RandomBytes(5000, 5));
             w.server.Serve("FileList.txt", UpperCaseCatalogue(w.release));
           },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {"Couldn't download"},
       .on_disk =
           [](const World& w) {
             AllThere(w);
             EXPECT_EQ(w.server.Requests(w.release.PathOf("a.bin")), 1);
           }},
      {.name = "BodyLargerThanTheCatalogueSays",
       .arrange =
           [](World& w) {
             w.release.Add("small.txt", "small\n");
             w.release.Publish();
             w.server.Serve(w.release.PathOf("small.txt"), RandomBytes(3 << 20, 6));
           },
       .exit_status = 1,
       .said = {"where the catalogue says", "Couldn't download"},
       .not_said = {"All Done."},
       .on_disk = [](const World& w) { EXPECT_LE(BytesUnder(w.folder), 6u); }},
      {.name = "ServerAnswers503EveryTime",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 7));
             w.release.Publish();
             w.server.Misbehave(w.release.PathOf("a.bin"), Behaviour{.status = 503});
           },
       .exit_status = 1,
       .said = {"Retrying: attempt 1 of 11 failed (HTTP status 503)",
                "Retrying: attempt 11 of 11 failed (HTTP status 503)",
                "for assistance.\nHTTP status 503"},
       .not_said = {"All Done."},
       .on_disk = [](const World& w) { EXPECT_EQ(BytesUnder(w.folder), 0u); }},
      {.name = "ReadOnlyDownloadFolder",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 8));
             w.release.Publish();
             fs::create_directories(w.folder);
             fs::permissions(w.folder, fs::perms::owner_read | fs::perms::owner_exec);
           },
       .exit_status = 1,
       .said = {"Couldn't save the download on this computer", "Permission denied"},
       .not_said = {"Please contact", "All Done."},
       .on_disk = [](const World& w) { EXPECT_TRUE(Empty(w.folder)); },
       .skip_reason = RootReason},
      {.name = "DownloadFolderBelowAFile",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 9));
             w.release.Publish();
             Write(w.folder, "a file where a folder should be\n");
             w.folder /= "cd";
           },
       .exit_status = 1,
       .said = {"Couldn't save the download on this computer",
                "a.bin: Failed: ", "Not a directory"},
       .not_said = {"Please contact", "All Done."},
       .on_disk = [](const World& w) { EXPECT_FALSE(fs::exists(w.folder)); }},
      {.name = "NameTooLongForTheFilesystem",
       .arrange =
           [](World& w) {
             w.release.Add(std::string(300, 'n') + ".bin", RandomBytes(1000, 10));
             w.release.Publish();
           },
       .exit_status = 1,
       .said = {"Couldn't save the download on this computer", "File name too long"},
       .not_said = {"Please contact", "All Done."},
       .on_disk = [](const World& w) { EXPECT_EQ(BytesUnder(w.folder), 0u); }},
      {.name = "UnwritableWorkingDirectory",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 11));
             w.release.Publish();
             fs::permissions(w.work, fs::perms::owner_read | fs::perms::owner_exec);
           },
       // The working files then go to the state folder, which cannot be
       // made here either (ReadOnlyStartTest has the run that goes on).
       .exit_status = 1,
       .said = {"cannot be written: FileList.txt and OrvBrenvik.ini are kept in",
                "Could not save FileList.txt on this computer"},
       .not_said = {"from the server"},
       .on_disk = [](const World& w) { EXPECT_FALSE(fs::exists(w.folder)); },
       .skip_reason = RootReason,
       .env = {{"XDG_STATE_HOME", "/proc/no-state-folder"}}},
      {.name = "CatalogueNameTakenByAFolder",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 12));
             w.release.Publish();
             fs::create_directories(w.work / "FileList.txt");
           },
       .exit_status = 1,
       .said = {"Could not save FileList.txt on this computer", "FileList.txt"},
       .not_said = {"from the server"},
       .on_disk = [](const World& w) { EXPECT_TRUE(fs::is_directory(w.work / "FileList.txt")); }},
      NotACatalogue(
          "EmptyCatalogue", [](World& w) { w.release.Publish(); }, "no file rows"),
      NotACatalogue(
          "MaintenancePageForACatalogue",
          [](World& w) {
            w.server.Serve("FileList.txt",
                           "<html><head><title>Maintenance</title></head>\n"
                           "<body>Back at 6</body></html>\n");
          },
          "the server sent a web page"),
      NotACatalogue(
          "GzipCompressedCatalogue",
          [](World& w) {
            using namespace std::string_literals;
            w.server.Serve("FileList.txt", "\x1F\x8B\x08\0\0\0\0\0\0\x03+K\xE3\x02\0"s);
          },
          "the server sent compressed data"),
      NotACatalogue(
          "CatalogueOfNulBytes",
          [](World& w) { w.server.Serve("FileList.txt", std::string(1 << 20, '\0')); },
          "the server sent binary data (NUL bytes), not text"),
      NotACatalogue(
          "EndlessCatalogue",
          [](World& w) {
            w.server.Misbehave("FileList.txt",
                               Behaviour{.chunked = true, .filler = size_t{1} << 31});
          },
          "larger than 64 MiB"),
      NotACatalogue(
          "VersionThatLeavesTheServerFolder",
          [](World& w) { w.server.Serve("FileList.txt", "../../admin\n0\na.bin:c:1\n"); },
          "the version on line 1 is not a safe folder name"),
      {.name = "CatalogueRowNamingAFolder",
       .arrange =
           [](World& w) {
             w.server.Serve("FileList.txt", "1.0\n0\nsub/\t0123456789abcdef0123456789abcdef\t0\n");
           },
       .exit_status = 1,
       .said = {"Error in line 3 in FileList.txt! The row names a folder, not a file!"},
       .not_said = {"read/write access", "on this computer", "All Done."},
       .on_disk = [](const World& w) { EXPECT_FALSE(fs::exists(w.folder)); }},
      {.name = "InstallerLyingInTheFolderThatTheReleaseLacks",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 15));
             w.release.Publish();
             Write(w.folder / "Install.exe", "#!/bin/sh\ntouch \"$0.started\"\n");
           },
       .exit_status = 1,
       .said = {"Start Install.exe: Install.exe is not part of this release"},
       .not_said = {"Installer started OK!"},
       .on_disk =
           [](const World& w) {
             AllThere(w);
             EXPECT_FALSE(fs::exists(w.folder / "Install.exe.started"));
             // Not made executable either.
             EXPECT_EQ(fs::status(w.folder / "Install.exe").permissions() & fs::perms::owner_exec,
                       fs::perms::none);
           },
       .install = true},
      {.name = "RightToLeftOverrideInAName",
       .arrange =
           [](World& w) {
             w.release.Add(
                 "invoice_\xE2\x80\xAE"
                 "fdp.exe",
                 "not a pdf\n");
             w.release.Publish();
           },
       .exit_status = 0,
       .said = {"invoice_\\u202Efdp.exe", "All Done."},
       .not_said = {"\xE2\x80\xAE"},
       .on_disk = AllThere},
      {.name = "EscapeSequencesFromTheServer",
       .arrange =
           [](World& w) {
             const std::string name = "evil\x1b[2Jname\x1b]0;owned\x07.txt";
             const std::string content = "x\n";
             w.server.Serve("1.0/" + name, content);
             w.server.Serve("FileList.txt", "1.0\n0\n" + name + "\t" +
                                                Md5Hex(Md5Of(content.data(), content.size())) +
                                                "\t2\n");
           },
       .exit_status = 0,
       .said = {"evil\\x1B[2Jname\\x1B]0;owned\\x07.txt", "All Done."},
       .not_said = {"\x1b", "\x07"},
       .on_disk = [](const World&) {}},
      // The version names the server folder in every URL; escape sequences
      // there are refused before anything is shown.
      [] {
        FailureMode mode = NotACatalogue(
            "EscapeSequencesInTheVersion",
            [](World& w) {
              w.server.Serve("FileList.txt", "1.0\x1b]0;owned\x07\n0\na.txt\tc\t2\n");
            },
            "the version on line 1 is not a safe folder name");
        mode.not_said.insert(mode.not_said.end(), {"\x1b", "\x07"});
        return mode;
      }(),
      {.name = "CtrlCWhileTheServerIsSilent",
       .arrange =
           [](World& w) {
             w.release.Publish();
             w.server.Misbehave("FileList.txt", Behaviour{.stall = std::chrono::seconds(110)});
           },
       .exit_status = 1,
       .said = {"Please wait, downloading filelist from server..."},
       .not_said = {"Version:"},
       .on_disk = [](const World& w) { EXPECT_FALSE(fs::exists(w.folder)); },
       .limits = {.limit = std::chrono::seconds(40),
                  .interrupt_on = "Please wait, downloading filelist from server...",
                  // Long enough for the transfer to have gone quiet.
                  .interrupt_delay = std::chrono::seconds(3)}},
      {.name = "SignedReleaseWithTheRightKey",
       .arrange = [](World& w) { PublishSigned(w, kPublisherTestKey); },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {"not signed"},
       .on_disk = AllThere,
       .publisher_key = true},
      SignatureFailure(
          "CatalogueChangedByOneByteAfterSigning",
          [](World& w) {
            PublishSigned(w, kPublisherTestKey);
            std::string changed = w.release.CatalogueText();
            changed[changed.find("\t") - 1] ^= 0x01;  // the last letter of the first name
            w.server.Serve("FileList.txt", changed);
          },
          "the signature FileList.txt.sig is not valid for this FileList.txt"),
      SignatureFailure(
          "SignatureMissing",
          [](World& w) {
            PublishSigned(w, kPublisherTestKey);
            w.server.Remove("FileList.txt.sig");
          },
          "the signature FileList.txt.sig is missing"),
      SignatureFailure(
          "SignedWithAnotherKey", [](World& w) { PublishSigned(w, kOtherTestKey); },
          "the signature FileList.txt.sig was made with another key"),
      SignatureFailure(
          "SignatureFileOfGarbage",
          [](World& w) {
            PublishSigned(w, kPublisherTestKey);
            w.server.Serve("FileList.txt.sig", "<html><body>Not here</body></html>\n");
          },
          "the signature FileList.txt.sig is unreadable"),
      SignatureFailure(
          "OversizedSignatureFile",
          [](World& w) {
            PublishSigned(w, kPublisherTestKey);
            w.server.Misbehave("FileList.txt.sig",
                               Behaviour{.chunked = true, .filler = size_t{1} << 30});
          },
          "the signature FileList.txt.sig is too large"),
      {.name = "CatalogueAndSignatureComePastCaches",
       .arrange = [](World& w) { PublishSigned(w, kPublisherTestKey); },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {},
       .on_disk =
           [](const World& w) {
             for (const char* file : {"FileList.txt", "FileList.txt.sig"}) {
               EXPECT_EQ(w.server.LastHeader(file, "Cache-Control"), "no-cache") << file;
               EXPECT_EQ(w.server.LastHeader(file, "Pragma"), "no-cache") << file;
             }
             // A file fetched the first time may come from a cache.
             EXPECT_EQ(w.server.LastHeader(w.release.PathOf("a.bin"), "Cache-Control"), "");
           },
       .publisher_key = true},
      {.name = "SignatureNotForTheCatalogueIsFetchedAfreshOnce",
       .arrange =
           [](World& w) {
             PublishSigned(w, kPublisherTestKey);
             w.server.Serve("FileList.txt", w.release.CatalogueText() + "\n");
           },
       .exit_status = 1,
       .said = {"the signature FileList.txt.sig is not valid for this FileList.txt"},
       .not_said = {"All Done."},
       .on_disk =
           [](const World& w) {
             // Both once more before the question; --yes then cancels.
             EXPECT_EQ(w.server.Requests("FileList.txt"), 2);
             EXPECT_EQ(w.server.Requests("FileList.txt.sig"), 2);
           },
       .publisher_key = true},
      {.name = "FileReplacedInPlaceBehindACache",
       .arrange =
           [](World& w) {
             w.release.Add("Install.bin", RandomBytes(5000, 15));
             w.release.Publish();
             // The same size, other bytes: what a stale cache hands out.
             w.server.Serve(w.release.PathOf("Install.bin"), RandomBytes(5000, 16));
           },
       .exit_status = 1,
       .said = {"Checksum Failed!",
                "for assistance.\nthe file arrived 3 times but did not match the catalogue"},
       .not_said = {"All Done."},
       .on_disk =
           [](const World& w) {
             const std::string path = w.release.PathOf("Install.bin");
             EXPECT_EQ(w.server.Requests(path), 3);
             EXPECT_EQ(w.server.LastHeader(path, "Cache-Control"), "no-cache");
             EXPECT_EQ(w.server.LastHeader(path, "Pragma"), "no-cache");
           }},
      {.name = "WrongSizeIsRefetchedPastCaches",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 23));
             w.release.Publish();
             w.server.Misbehave(w.release.PathOf("a.bin"),
                                Behaviour{.filler = size_t{5000}, .times = 1});
           },
       .exit_status = 0,
       .said = {"where the catalogue says", "All Done."},
       .not_said = {},
       .on_disk =
           [](const World& w) {
             AllThere(w);
             const std::string path = w.release.PathOf("a.bin");
             EXPECT_EQ(w.server.Requests(path), 2);
             EXPECT_EQ(w.server.LastHeader(path, "Cache-Control"), "no-cache");
           }},
      {.name = "RedirectToFtpIsNotRetried",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 17));
             w.release.Publish();
             w.server.Misbehave(w.release.PathOf("a.bin"),
                                Behaviour{.redirect_to = "ftp://127.0.0.1/a.bin"});
           },
       .exit_status = 1,
       .said = {"a.bin: Failed: the server redirected to \"ftp://127.0.0.1/a.bin\"",
                "for assistance.\nthe server redirected to"},
       .not_said = {"Retrying", "All Done."},
       .on_disk =
           [](const World& w) { EXPECT_EQ(w.server.Requests(w.release.PathOf("a.bin")), 1); }},
      {.name = "ServerCompressingAFileUnasked",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(300'000, 18));
             w.release.Publish();
             w.server.Misbehave(w.release.PathOf("a.bin"), Behaviour{.content_encoding = "gzip"});
           },
       .exit_status = 1,
       .said = {"Content-Encoding: gzip", "Couldn't download"},
       .not_said = {"Retrying", "All Done."},
       .on_disk =
           [](const World& w) {
             EXPECT_EQ(w.server.Requests(w.release.PathOf("a.bin")), 1);
             EXPECT_EQ(BytesUnder(w.folder), 0u);
           }},
      {.name = "ServerCompressingTheCatalogueUnasked",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 19));
             w.release.Publish();
             w.server.Misbehave("FileList.txt", Behaviour{.content_encoding = "gzip"});
           },
       .exit_status = 1,
       .said = {"Content-Encoding: gzip"},
       .not_said = {"Version:"},
       .on_disk = [](const World& w) { EXPECT_FALSE(fs::exists(w.folder)); }},
      {.name = "CatalogueNotFoundNamesItsAddress",
       .arrange = [](World&) {},
       .exit_status = 1,
       .said = {"HTTP status 404 for http://127.0.0.1:", "/FileList.txt"},
       .not_said = {"Version:"},
       .on_disk = [](const World& w) { EXPECT_FALSE(fs::exists(w.folder)); }},
      {.name = "DeadProxyIsNamed",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 20));
             w.release.Publish();
           },
       .exit_status = 1,
       .said = {"cannot reach the proxy http://127.0.0.1:1"},
       .not_said = {"Version:"},
       .on_disk = [](const World& w) { EXPECT_EQ(w.server.Requests("FileList.txt"), 0); },
       // Nothing listens on port 1 of the loopback (it takes root to).
       .env = {{"http_proxy", "http://127.0.0.1:1"}, {"no_proxy", ""}, {"NO_PROXY", ""}}},
      {.name = "AwkwardNamesFromAStrictServer",
       .arrange =
           [](World& w) {
             w.server.DecodePathsStrictly();
             w.release.Add("a+b #1 100%41?.bin", RandomBytes(1000, 21));
             w.release.Add("Sub Dir/c+d.bin", RandomBytes(1000, 22));
             w.release.Publish();
           },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {"Retrying"},
       .on_disk = AllThere},
      {.name = "ConnectionsTwoHoldsAtMostTwo",
       .arrange =
           [](World& w) {
             for (int i = 0; i < 8; ++i) {
               w.release.Add("f" + std::to_string(i) + ".bin", RandomBytes(200'000, 30 + i));
             }
             w.release.Publish();
           },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {},
       .on_disk =
           [](const World& w) {
             AllThere(w);
             // The catalogue's connection is one of the two.
             EXPECT_LE(w.server.MostConnectionsAtOnce(), 2);
           },
       .extra_args = {"--connections", "2"}},
      {.name = "YesWithADisplayNeverWaits",
       .arrange =
           [](World& w) {
             w.release.Add("a.bin", RandomBytes(1000, 13));
             w.release.Publish();
           },
       .exit_status = 0,
       .said = {"All Done."},
       .not_said = {},
       .on_disk = AllThere,
       .limits = {.limit = std::chrono::seconds(60)},
       .env = {{"QT_QPA_PLATFORM", "offscreen"}},
       .windowed = true},
  };
  return table;
}

// Test names and failure reports show a row by its name.
void PrintTo(const FailureMode& mode, std::ostream* out) { *out << mode.name; }

class FailureModeTest : public ::testing::TestWithParam<FailureMode> {};

// The command line of a row: scripted, against the row's server, into its
// folder unless the row reads the folder from the settings file, in the
// terminal unless the row runs where a window could open.
std::vector<std::string> CommandLine(const FailureMode& mode, const World& world) {
  std::vector<std::string> args{"--yes", mode.install ? "--install" : "--no-install", "--server",
                                world.server.Url()};
  if (!mode.windowed) args.push_back("--text");
  if (!mode.stored_folder) args.insert(args.end(), {"--folder", Folder(world)});
  if (mode.publisher_key) {
    args.insert(args.end(), {"--publisher-key", (world.sandbox.path() / "publisher.pub").string()});
  }
  args.insert(args.end(), mode.extra_args.begin(), mode.extra_args.end());
  return args;
}

TEST_P(FailureModeTest, EndsAsExpected) {
  const FailureMode& mode = GetParam();
  if (const std::string reason = mode.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
  HttpServer server;
  Release release(server);
  TempDir sandbox;
  World world{server,
              release,
              sandbox,
              sandbox.path() / "work",
              sandbox.path() / "cd",
              sandbox.path() / "outside"};
  fs::create_directories(world.work);
  fs::create_directories(world.outside);
  mode.arrange(world);
  Write(sandbox.path() / "publisher.pub", PublicKeyText(kPublisherTestKey, "publisher's key"));

  const ProgramRunner runner(sandbox);
  const Outcome outcome = runner.Run(world.work, CommandLine(mode, world), mode.env, mode.limits);
  server.Stop();
  // Undo what the row did to permissions, so the sandbox can be removed.
  fs::permissions(world.work, fs::perms::owner_all, fs::perm_options::add);
  if (fs::is_directory(world.folder)) {
    fs::permissions(world.folder, fs::perms::owner_all, fs::perm_options::add);
  }

  EXPECT_EQ(outcome.status, mode.exit_status) << outcome.output;
  for (const std::string& text : mode.said)
    EXPECT_TRUE(Contains(outcome.output, text)) << text << "\n" << outcome.output;
  for (const std::string& text : mode.not_said)
    EXPECT_FALSE(Contains(outcome.output, text)) << text << "\n" << outcome.output;
  mode.on_disk(world);
}

INSTANTIATE_TEST_SUITE_P(Table, FailureModeTest, ::testing::ValuesIn(Table()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brenvik::test
