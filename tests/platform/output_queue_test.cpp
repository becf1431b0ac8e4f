#include "platform/output_queue.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

namespace brenvik {
namespace {

#ifndef _WIN32
// One test: a stop gives the queue up for the rest of the process.
TEST(OutputQueueTest, APipeNobodyReadsNeverHoldsUpTheWriterAndAStopGivesItUp) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  std::FILE* pipe = ::fdopen(ends[1], "w");
  ASSERT_NE(pipe, nullptr);

  // Far more than the pipe holds goes in at once, whole and in order.
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    const std::string line = "line " + std::to_string(i) + "\n";
    EXPECT_TRUE(QueueText(pipe, line, nullptr));
    expected += line;
  }
  std::string read;
  char buffer[65536];
  while (read.size() < expected.size()) {
    const ssize_t got = ::read(ends[0], buffer, sizeof buffer);
    ASSERT_GT(got, 0);
    read.append(buffer, static_cast<size_t>(got));
  }
  EXPECT_TRUE(read == expected);
  std::atomic<bool> stop{false};
  EXPECT_TRUE(FlushQueuedText(stop, std::chrono::milliseconds(0)));

  // Now nobody reads: a full queue drops what a worker (no flag) adds,
  // and a caller with a flag only until the flag is set.
  const std::string block(kMostQueuedBytes / 2, 'x');
  EXPECT_TRUE(QueueText(pipe, block, nullptr));
  EXPECT_TRUE(QueueText(pipe, block, nullptr));
  EXPECT_FALSE(QueueText(pipe, "dropped\n", nullptr));
  stop.store(true);
  EXPECT_FALSE(QueueText(pipe, "dropped too\n", &stop));
  // The end of the program does not wait for a reader once stopped.
  EXPECT_FALSE(FlushQueuedText(stop, std::chrono::milliseconds(100)));
  EXPECT_FALSE(QueueText(pipe, "after the end\n", nullptr));
  // The writer may still be blocked on the pipe: it stays open.
}

TEST(OutputQueueTest, AFileIsWrittenAtOnce) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(QueueText(file, "at once\n", nullptr));
  std::rewind(file);
  char text[16] = {};
  EXPECT_EQ(std::fread(text, 1, sizeof text - 1, file), 8u);
  EXPECT_STREQ(text, "at once\n");
  std::fclose(file);
}
#endif

}  // namespace
}  // namespace brenvik
