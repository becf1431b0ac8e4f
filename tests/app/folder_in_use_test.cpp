// Two runs of the program into one download folder at the same time: the
// second says the folder is in use and ends before it touches anything,
// and the first goes on undisturbed.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "support/http_server.h"
#include "support/program_runner.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

TEST(FolderInUseTest, ASecondRunIntoTheSameFolderEndsAndLeavesTheFirstAlone) {
  HttpServer server;
  Release release(server);
  release.Add("slow.bin", RandomBytes(100 * 1024, 31));
  release.Publish();
  // About ten seconds of transfer: the first run holds the folder meanwhile.
  server.Misbehave(release.PathOf("slow.bin"),
                   Behaviour{.trickle = std::chrono::milliseconds(100)});
  TempDir sandbox;
  const fs::path folder = sandbox.path() / "cd";
  for (const char* work : {"first", "second"}) fs::create_directories(sandbox.path() / work);
  const ProgramRunner runner(sandbox);
  const std::vector<std::string> args{"--text",     "--yes",    "--no-install",       "--server",
                                      server.Url(), "--folder", folder.string() + "/"};

  Outcome first;
  std::thread first_run([&] { first = runner.Run(sandbox.path() / "first", args); });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (server.Requests(release.PathOf("slow.bin")) == 0 &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const Outcome second = runner.Run(sandbox.path() / "second", args);
  const bool first_still_running = !fs::exists(folder / "slow.bin");
  first_run.join();

  ASSERT_TRUE(first_still_running) << "the first run ended before the second began";
  EXPECT_EQ(second.status, 1) << second.output;
  EXPECT_TRUE(Contains(second.output,
                       "The folder \"" + folder.string() + "/\" is in use by another Brenvik run."))
      << second.output;
  EXPECT_FALSE(fs::exists(sandbox.path() / "second" / "OrvBrenvik.ini"));

  EXPECT_EQ(first.status, 0) << first.output;
  EXPECT_TRUE(Contains(first.output, "All Done.")) << first.output;
  EXPECT_TRUE(test::ReadBytes(folder / "slow.bin") == release.Content("slow.bin"));
  EXPECT_EQ(server.Requests(release.PathOf("slow.bin")), 1);
}

}  // namespace
}  // namespace brenvik::test
