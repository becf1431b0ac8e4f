// How idle lanes cut a large file into parts: lanes that wait together
// share a file so that its parts end together.

#include "run/part_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace brenvik::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// Lengths of the parts of `file`, in the order they were made.
std::vector<uint64_t> PartLengths(const SplitFile& file) {
  std::vector<uint64_t> lengths;
  for (const FilePart& part : file.parts) lengths.push_back(part.end.load() - part.start);
  return lengths;
}

class PartBoardTest : public testing::Test {
 protected:
  // A file whose whole download runs in lane `owner`; the server has not
  // shown yet that it serves parts.
  SplitFile& Running(int row, uint64_t size, int owner) { return board_.Open(row, size, owner); }

  // The lanes look for a part before any is on offer: they wait for one.
  void Waiting(const std::vector<int>& lanes) {
    for (int lane : lanes) EXPECT_FALSE(board_.TakeAny(lane).has_value());
  }

  // The lanes look again, one after the other, once the rate of the parts
  // running so far is known (nothing came: slow indeed); each takes a part.
  void Join(const std::vector<int>& lanes) {
    later_ += 2 * kRateWatch;
    for (int lane : lanes) EXPECT_TRUE(board_.TakeAny(lane, later_).has_value()) << lane;
  }

  PartBoard board_;
  std::chrono::steady_clock::time_point later_ = std::chrono::steady_clock::now();
};

TEST_F(PartBoardTest, LanesThatWaitTogetherShareAFileEvenly) {
  SplitFile& file = Running(0, 24 * kMiB, 0);
  Waiting({1, 2, 3});
  board_.Offer(file, "\"v1\"");
  Join({1, 2, 3});
  EXPECT_EQ(PartLengths(file), (std::vector<uint64_t>{6 * kMiB, 6 * kMiB, 6 * kMiB, 6 * kMiB}));
}

TEST_F(PartBoardTest, WaitingLanesAreSharedOutOverTheFilesThatCanBeSplit) {
  SplitFile& first = Running(0, 24 * kMiB, 0);
  SplitFile& second = Running(1, 24 * kMiB, 1);
  Waiting({2, 3, 4, 5});
  board_.Offer(first, "\"a\"");
  board_.Offer(second, "\"b\"");
  Join({2, 3, 4, 5});
  const std::vector<uint64_t> thirds{8 * kMiB, 8 * kMiB, 8 * kMiB};
  EXPECT_EQ(PartLengths(first), thirds);
  EXPECT_EQ(PartLengths(second), thirds);
}

TEST_F(PartBoardTest, ALaneAloneTakesHalfAndOneGoneToOtherWorkIsNotCounted) {
  SplitFile& file = Running(0, 24 * kMiB, 0);
  Waiting({1, 2});
  board_.NotSeeking(2);  // it took a row meanwhile
  board_.Offer(file, "\"v1\"");
  Join({1});
  EXPECT_EQ(PartLengths(file), (std::vector<uint64_t>{12 * kMiB, 12 * kMiB}));
  // Lanes that come later, one at a time, halve what is left.
  Join({3, 4});
  EXPECT_EQ(PartLengths(file), (std::vector<uint64_t>{6 * kMiB, 6 * kMiB, 6 * kMiB, 6 * kMiB}));
}

TEST_F(PartBoardTest, HoweverManyWaitNoPartIsCutBelowTheSmallest) {
  SplitFile& file = Running(0, 10 * kMiB, 0);
  Waiting({1, 2, 3, 4, 5, 6});
  board_.Offer(file, "\"v1\"");
  Join({1});
  EXPECT_EQ(PartLengths(file), (std::vector<uint64_t>{10 * kMiB - kSmallestPart, kSmallestPart}));
  // What is left is too little to cut again.
  EXPECT_FALSE(board_.TakeAny(2, later_).has_value());
}

}  // namespace
}  // namespace brenvik::test
