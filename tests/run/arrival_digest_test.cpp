#include "run/arrival_digest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "run/run_harness.h"
#include "verify/md5.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

std::string HexOf(const std::string& bytes) { return Md5Hex(Md5Of(bytes.data(), bytes.size())); }

TEST(ArrivalDigestTest, GivesAVerdictOnlyForAWholeFileThatPassedThrough) {
  const std::string content = RandomBytes(5000, 1);
  ArrivalDigest whole;
  whole.Begin(0);
  whole.Add(content.data(), 1000);
  whole.Add(content.data() + 1000, content.size() - 1000);
  EXPECT_EQ(whole.Matches(content.size(), HexOf(content)), true);

  ArrivalDigest wrong;
  wrong.Begin(0);
  std::string other = content;
  other[4321] ^= 1;
  wrong.Add(other.data(), other.size());
  EXPECT_EQ(wrong.Matches(content.size(), HexOf(content)), false);

  // The kept part of a resumed file never passed through: no verdict.
  ArrivalDigest resumed;
  resumed.Begin(1000);
  resumed.Add(content.data() + 1000, content.size() - 1000);
  EXPECT_EQ(resumed.Matches(content.size(), HexOf(content)), std::nullopt);

  // A kept part dropped for a fresh start: only what came after counts.
  ArrivalDigest restarted;
  restarted.Begin(1000);
  restarted.Add("stale", 5);
  restarted.Begin(0);
  restarted.Add(content.data(), content.size());
  EXPECT_EQ(restarted.Matches(content.size(), HexOf(content)), true);

  // Fewer or more bytes than the file has: no verdict.
  ArrivalDigest short_body;
  short_body.Add(content.data(), 10);
  EXPECT_EQ(short_body.Matches(content.size(), HexOf(content)), std::nullopt);

  // An empty file is whole with nothing written.
  ArrivalDigest empty;
  EXPECT_EQ(empty.Matches(0, HexOf("")), true);
}

class ArrivalVerdictTest : public RunHarness {
 protected:
  // Cancels a first run of big.bin once part of it arrived, so its partial
  // file is kept with the server's ETag beside it.
  void KeepPartOfBigFile() {
    server_.Misbehave(release_.PathOf("big.bin"),
                      Behaviour{.trickle = std::chrono::milliseconds(5), .etag = "\"v1\""});
    RunEngine& run = NewRun();
    run.Start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (run.table().Row(0).status.percent < 10 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.WaitForWorkers({});
    ASSERT_GT(fs::file_size(download_dir_.path() / run.catalogue().Entry(0).partial_name), 0u);
  }
};

// A download that goes on from a kept part never hashed that part: the
// check reads the whole file. One whose server answers the Range with the
// whole file starts over in a fresh file, and is judged as it arrives.
TEST_F(ArrivalVerdictTest, AResumedFileIsReadAndOneTheServerSentWholeIsNot) {
  release_.Add("big.bin", RandomBytes(400 * 1024, 6));
  WriteCatalogue();
  // A second run after a cancelled first one, its server as `behaviour`
  // says; true when the check read big.bin.
  const auto resumed_and_read = [this](Behaviour behaviour) {
    fs::remove(download_dir_.path() / "big.bin");
    KeepPartOfBigFile();
    server_.Misbehave(release_.PathOf("big.bin"), behaviour);
    NewRun();
    WatchReads();
    EXPECT_EQ(Drive(), RunEnd::kFinished);
    engine_->table().SetChangeListener({});
    EXPECT_NE(server_.LastRange(release_.PathOf("big.bin")), "");
    EXPECT_EQ(OnDisk("big.bin"), release_.Content("big.bin"));
    return WasRead("big.bin");
  };
  EXPECT_TRUE(resumed_and_read(Behaviour{.etag = "\"v1\""}));
  EXPECT_FALSE(resumed_and_read(Behaviour{.etag = "\"v1\"", .ignore_range = true}));
}

TEST_F(ArrivalVerdictTest, ADownloadedFileIsNotReadAgainAndAFileFoundInTheFolderIs) {
  release_.Add("fetched.bin", RandomBytes(400 * 1024, 2));
  release_.Add("found.bin", RandomBytes(400 * 1024, 3));
  WriteCatalogue();
  download_dir_.Write("found.bin", release_.Content("found.bin"));
  NewRun();
  WatchReads();
  ASSERT_EQ(Drive(), RunEnd::kFinished);
  engine_->table().SetChangeListener({});
  EXPECT_TRUE(AllVerified());
  EXPECT_EQ(StatusText(0), "Checksum OK");
  EXPECT_EQ(OnDisk("fetched.bin"), release_.Content("fetched.bin"));
  EXPECT_FALSE(WasRead("fetched.bin"));
  EXPECT_TRUE(WasRead("found.bin"));
}

TEST_F(ArrivalVerdictTest, WrongBytesFromTheServerFailTheirVerdictAndAreFetchedAgain) {
  release_.Add("bad.bin", RandomBytes(5000, 4));
  WriteCatalogue();
  server_.Serve(release_.PathOf("bad.bin"), RandomBytes(5000, 5));  // right size, wrong bytes
  prompt_.Push(PromptAnswer::kCancel);
  NewRun();
  WatchReads();
  ASSERT_EQ(Drive(), RunEnd::kClosed);
  engine_->table().SetChangeListener({});
  // Three arrivals, each judged as it came, none read back.
  EXPECT_EQ(server_.Requests(release_.PathOf("bad.bin")), 3);
  EXPECT_FALSE(WasRead("bad.bin"));
}

}  // namespace
}  // namespace brenvik::test
