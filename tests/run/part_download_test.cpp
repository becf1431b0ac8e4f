// Large files fetched in parts by lanes that would otherwise idle, over a
// real loopback server that serves ranges (or refuses to, or changes the
// file meanwhile).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/paths.h"
#include "run/part_board.h"
#include "run/run_harness.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBigSize = 2 * kSplitFrom;  // room for a part or two besides the first

class PartDownloadTest : public RunHarness {
 protected:
  PartDownloadTest() {
    release_.Add("big.bin", RandomBytes(kBigSize, 9));
    WriteCatalogue();
    config_.connections = 3;
  }

  std::string Path() const { return release_.PathOf("big.bin"); }
  // A run whose stall watch allows for a slow machine (a sanitizer's): the
  // tests are about parts, not stalls.
  RunEngine& NewPartRun() {
    RunEngine& run = NewRun();
    config_.stall_timeout = std::chrono::seconds(10);
    return run;
  }
  // Slow enough (8 MB/s) that a split is worth it: the idle lanes join
  // well before the first part is done.
  Behaviour Slow(std::string etag = "\"v1\"") const {
    return Behaviour{.trickle = std::chrono::milliseconds(8),
                     .etag = std::move(etag),
                     .trickle_bytes = 64 * 1024};
  }
  // The validator file the cut download left beside the partial file.
  std::string KeptBeside() const {
    return download_dir_.Read(ValidatorNameOf(engine_->catalogue().Entry(0).partial_name));
  }
  // Starts a run and waits until a lane asked for a part (a closed range).
  RunEngine& StartAndWaitForAPart() {
    RunEngine& run = NewPartRun();
    run.Start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server_.LastRange(Path()).empty() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return run;
  }
};

TEST_F(PartDownloadTest, IdleLanesFetchPartsOfALargeFileAndItEndsVerified) {
  server_.Misbehave(Path(), Slow());
  NewPartRun();
  // The lanes that found no row come for parts as soon as the large file
  // opens, not after their pause: with this one they would come only once
  // the file was all there.
  config_.pause = std::chrono::seconds(60);
  WatchReads();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(OnDisk("big.bin"), release_.Content("big.bin"));
  // Its digest went on over the others' parts as they came: the check
  // never read the file, and it came once.
  EXPECT_FALSE(WasRead("big.bin"));
  EXPECT_EQ(server_.WholeRequests(Path()), 1);
  // A part was asked for with both its ends, and the run kept to its
  // connections.
  const std::string range = server_.LastRange(Path());
  EXPECT_TRUE(range.starts_with("bytes=") && !range.ends_with("-")) << range;
  EXPECT_GE(server_.Requests(Path()), 2);
  EXPECT_LE(server_.MostConnectionsAtOnce(), 3);
  EXPECT_TRUE(prompt_.Asked().empty());
}

TEST_F(PartDownloadTest, ACancelledSplitDownloadKeepsEveryPartAndTheNextRunFetchesOnlyThose) {
  server_.Misbehave(Path(), Slow());
  StartAndWaitForAPart().WaitForWorkers({});
  // What is missing is kept with the validator: more than one part.
  const std::string kept = KeptBeside();
  ASSERT_TRUE(kept.starts_with("\"v1\"\nparts ")) << kept;
  const auto parts = std::count(kept.begin(), kept.end(), '-');
  EXPECT_GE(parts, 2) << kept;

  server_.Misbehave(Path(), Behaviour{.etag = "\"v1\""});
  const int before = server_.Requests(Path());
  const int whole_before = server_.WholeRequests(Path());
  NewPartRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(OnDisk("big.bin"), release_.Content("big.bin"));
  // Every missing part was asked for as a part (a large one perhaps in two);
  // nothing came whole.
  EXPECT_GE(server_.Requests(Path()) - before, parts);
  EXPECT_EQ(server_.WholeRequests(Path()), whole_before);
  EXPECT_FALSE(fs::exists(download_dir_.path() / ValidatorNameOf("big.bin.~part")));
}

TEST_F(PartDownloadTest, AServerThatAnswersAPartWithTheWholeFileLeavesOneWholeFile) {
  Behaviour whole = Slow();
  whole.ignore_range = true;  // says it serves ranges, answers each with 200
  server_.Misbehave(Path(), whole);
  NewPartRun();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(OnDisk("big.bin"), release_.Content("big.bin"));
  EXPECT_TRUE(prompt_.Asked().empty());
}

TEST_F(PartDownloadTest, AFileThatChangesOnTheServerWhileItsPartsComeIsNeverJoinedFromTwo) {
  server_.Misbehave(Path(), Slow());
  NewPartRun();
  // As soon as the first request came, the server holds another file under
  // another ETag, before the other lanes ask for their parts; the first
  // answer still brings the old file.
  std::jthread change([&](std::stop_token stop) {
    while (!stop.stop_requested() && server_.Requests(Path()) == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    server_.Serve(Path(), RandomBytes(kBigSize, 10));
    server_.Misbehave(Path(), Slow("\"v2\""));
  });
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(OnDisk("big.bin"), release_.Content("big.bin"));
  EXPECT_TRUE(prompt_.Asked().empty());
}

// A cache or mirror that hands out another file under the same validator:
// the parts fit together by their validator, not by their bytes. The
// digest carried on over the others' parts finds it without the check
// reading the file, and the file is fetched again.
TEST_F(PartDownloadTest, PartsOfAnotherFileUnderTheSameValidatorFailTheirVerdict) {
  const std::string right = release_.Content("big.bin");
  std::string other = right;
  for (size_t at = other.size() / 2; at < other.size(); at += 4096) other[at] ^= 1;
  server_.Misbehave(Path(), Slow());
  NewPartRun();
  // The first answer brings the right file, the parts asked for after it
  // the other one, until the file's verdict failed. (The check of the file
  // not there yet, before any request, fails too.)
  server_.ServeAfterNext(Path(), other);
  std::atomic<bool> failed = false;
  std::atomic<bool> read = false;
  engine_->table().SetChangeListener([&](int row) {
    if (row < 0) return;
    const RowPhase phase = engine_->table().Row(row).status.phase;
    if (phase == RowPhase::kChecksumming) read = true;
    if (phase == RowPhase::kChecksumFailed && server_.Requests(Path()) > 0 &&
        !failed.exchange(true)) {
      server_.Serve(Path(), right);
    }
  });
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  engine_->table().SetChangeListener({});
  EXPECT_TRUE(failed);
  EXPECT_FALSE(read);
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(OnDisk("big.bin"), right);
  EXPECT_EQ(server_.WholeRequests(Path()), 2);
}

}  // namespace
}  // namespace brenvik::test
