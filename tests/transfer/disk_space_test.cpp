#include "transfer/disk_space.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/free_space.h"
#include "support/scripted_prompt.h"

namespace brenvik {
namespace {

using test::ScriptedPrompt;

// Answers the free-space queries from a list (the last answer repeats) and
// records every query.
class FakeFreeSpace : public FreeSpace {
 public:
  explicit FakeFreeSpace(std::vector<std::optional<uint64_t>> answers)
      : answers_(std::move(answers)) {}

  std::string DriveOf(const std::string& path) override { return WindowsDriveRoot(path); }
  std::optional<uint64_t> AvailableBytes(const std::string& path) override {
    queried.push_back(path);
    const size_t index = std::min(queried.size(), answers_.size()) - 1;
    return answers_[index];
  }

  std::vector<std::string> queried;

 private:
  std::vector<std::optional<uint64_t>> answers_;
};

std::string Expected(const std::string& drive, const std::string& amount,
                     const std::string& extra_line) {
  return "There is not enough space on the \"" + drive +
         "\" drive for the selected operation.\nYou need to free up " + amount +
         " on the drive to continue\n" + extra_line + "\nClick RETRY to try again.";
}

constexpr const char* kFolder = "D:\\Games\\PellixInstall\\";

TEST(DiskSpace, EnoughOrExactlyEnoughAsksNothing) {
  ScriptedPrompt prompt;
  FakeFreeSpace exact({4096});
  EXPECT_TRUE(CheckDiskSpace(kFolder, 4096, kScratchSpaceLine, prompt, exact));
  FakeFreeSpace plenty({1u << 30});
  EXPECT_TRUE(CheckDiskSpace(kFolder, 4096, kScratchSpaceLine, prompt, plenty));
  EXPECT_EQ(prompt.Count(), 0u);
  EXPECT_EQ(exact.queried, std::vector<std::string>{kFolder});
}

TEST(DiskSpace, ShortfallIsScaledDownAndRoundedDown) {
  struct Case {
    uint64_t need;
    uint64_t free;
    const char* amount;
  };
  const Case cases[] = {
      {1023, 0, "1023 bytes"},
      {5000, 3977, "1023 bytes"},
      {1024, 0, "1 kilobytes"},
      {1024 * 1024 - 1, 0, "1023 kilobytes"},
      {1'500'000, 0, "1 Megabytes"},
      {3'000'000'000, 0, "2 Gigabytes"},
      {4'294'967'295, 0, "3 Gigabytes"},
      {uint64_t{5} << 40, 0, "5 Terabytes"},
      {std::numeric_limits<uint64_t>::max(), 0, "15 Exabytes"},
  };
  for (const Case& c : cases) {
    ScriptedPrompt prompt;
    FakeFreeSpace free_space({c.free});
    EXPECT_FALSE(CheckDiskSpace(kFolder, c.need, kProgramAbortedLine, prompt, free_space));
    ASSERT_EQ(prompt.Count(), 1u) << c.amount;
    EXPECT_EQ(prompt.Texts()[0], Expected("D:\\", c.amount, kProgramAbortedLine));
  }
}

TEST(DiskSpace, AsksWithRetryCancelAndTheStopIcon) {
  ScriptedPrompt prompt;
  FakeFreeSpace free_space({0});
  EXPECT_FALSE(CheckDiskSpace("e:\\data\\", 2048, kSelectAnotherFolderLine, prompt, free_space));
  const auto asked = prompt.Asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].buttons, PromptButtons::kRetryCancel);
  EXPECT_EQ(asked[0].icon, PromptIcon::kStop);
  // The extra line keeps its own line break, so a blank line precedes RETRY.
  EXPECT_EQ(asked[0].text,
            "There is not enough space on the \"e:\\\" drive for the selected operation.\n"
            "You need to free up 2 kilobytes on the drive to continue\n"
            "(Click Cancel to select another folder)\n\nClick RETRY to try again.");
}

TEST(DiskSpace, RetryQueriesAfreshUntilThereIsRoom) {
  ScriptedPrompt prompt({PromptAnswer::kRetry, PromptAnswer::kRetry});
  FakeFreeSpace free_space({100, 600, 1000});
  EXPECT_TRUE(CheckDiskSpace(kFolder, 1000, kScratchSpaceLine, prompt, free_space));
  EXPECT_EQ(free_space.queried.size(), 3u);
  // Each message shows the shortfall of the latest query.
  EXPECT_EQ(prompt.Texts(), (std::vector<std::string>{
                                Expected("D:\\", "900 bytes", kScratchSpaceLine),
                                Expected("D:\\", "400 bytes", kScratchSpaceLine),
                            }));
}

TEST(DiskSpace, CancelAfterRetriesRefuses) {
  ScriptedPrompt prompt({PromptAnswer::kRetry, PromptAnswer::kRetry, PromptAnswer::kCancel});
  FakeFreeSpace free_space({10});
  EXPECT_FALSE(CheckDiskSpace(kFolder, 1000, kScratchSpaceLine, prompt, free_space));
  EXPECT_EQ(prompt.Count(), 3u);
  EXPECT_EQ(free_space.queried.size(), 3u);

  // An OK answer is not a Retry either.
  ScriptedPrompt ok_prompt({PromptAnswer::kOk});
  EXPECT_FALSE(CheckDiskSpace(kFolder, 1000, kScratchSpaceLine, ok_prompt, free_space));
  EXPECT_EQ(ok_prompt.Count(), 1u);
}

TEST(DiskSpace, FailedQueryKeepsTheLastCountStartingFromZero) {
  ScriptedPrompt prompt({PromptAnswer::kRetry, PromptAnswer::kCancel});
  FakeFreeSpace never({std::nullopt});
  EXPECT_FALSE(CheckDiskSpace("", 3072, kScratchSpaceLine, prompt, never));
  EXPECT_EQ(never.queried.size(), 2u);
  EXPECT_EQ(prompt.Texts(), (std::vector<std::string>{
                                Expected("", "3 kilobytes", kScratchSpaceLine),
                                Expected("", "3 kilobytes", kScratchSpaceLine),
                            }));

  ScriptedPrompt retry({PromptAnswer::kRetry, PromptAnswer::kCancel});
  FakeFreeSpace flaky({700, std::nullopt});
  EXPECT_FALSE(CheckDiskSpace(kFolder, 1000, kScratchSpaceLine, retry, flaky));
  EXPECT_EQ(retry.Texts(), (std::vector<std::string>{
                               Expected("D:\\", "300 bytes", kScratchSpaceLine),
                               Expected("D:\\", "300 bytes", kScratchSpaceLine),
                           }));

  // Nothing needed: even an unreadable drive passes.
  ScriptedPrompt silent;
  EXPECT_TRUE(CheckDiskSpace("", 0, kScratchSpaceLine, silent, never));
  EXPECT_EQ(silent.Count(), 0u);
}

}  // namespace
}  // namespace brenvik
