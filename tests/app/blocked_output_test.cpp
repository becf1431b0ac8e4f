// The program's output blocked: standard output and error are a pipe that
// nobody reads, as in `brenvik --text --yes ... | sleep 40`. A stop request
// still ends the run as a cancel does, and what was verified stays.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/http_server.h"
#include "support/program_runner.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

constexpr int kSmallFiles = 1000;

std::string SmallName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "a%05d.bin", i);
  return name;
}

// Every small file is in the folder (the last of them downloads alongside
// the slow one, so that is the moment to look for).
bool AllSmallFilesArrived(const fs::path& folder) {
  for (int i = kSmallFiles - 1; i >= 0; --i) {
    if (!fs::exists(folder / SmallName(i))) return false;
  }
  return true;
}

class BlockedOutputTest : public ::testing::TestWithParam<int> {};

TEST_P(BlockedOutputTest, AStopEndsTheRunThoughNobodyReadsTheOutput) {
  HttpServer server;
  Release release(server);
  // Far more lines than a pipe holds, then one file that takes its time:
  // the stop comes while it downloads.
  for (int i = 0; i < kSmallFiles; ++i) release.Add(SmallName(i), "small " + std::to_string(i));
  release.Add("z-slow.bin", RandomBytes(200 * 1024, 41));
  release.Publish();
  server.Misbehave(release.PathOf("z-slow.bin"),
                   Behaviour{.trickle = std::chrono::milliseconds(200)});
  TempDir sandbox;
  const fs::path work = sandbox.path() / "work";
  const fs::path folder = sandbox.path() / "cd";
  fs::create_directories(work);
  const ProgramRunner runner(sandbox);

  const Outcome outcome =
      runner.Run(work,
                 {"--text", "--yes", "--no-install", "--server", server.Url(), "--folder",
                  folder.string() + "/"},
                 {},
                 RunLimits{.limit = std::chrono::seconds(120),
                           .unread_output = true,
                           .signal = GetParam(),
                           .signal_when = [&] { return AllSmallFilesArrived(folder); }});
  server.Stop();

  ASSERT_EQ(outcome.status, 1) << "the run did not end as a cancel does";
  // The stop came during the last download: every file before it arrived,
  // and stays.
  for (int i = 0; i < kSmallFiles; ++i) {
    ASSERT_EQ(test::ReadBytes(folder / SmallName(i)), release.Content(SmallName(i)))
        << SmallName(i);
  }
  EXPECT_FALSE(fs::exists(folder / "z-slow.bin"));
  EXPECT_TRUE(fs::exists(work / "OrvBrenvik.ini"));
}

INSTANTIATE_TEST_SUITE_P(Signals, BlockedOutputTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                           return std::string(info.param == SIGINT ? "Interrupt" : "Terminate");
                         });

}  // namespace
}  // namespace brenvik::test
