#include "transfer/download_transport.h"

#include <gtest/gtest.h>

#include <chrono>

namespace brenvik::download {
namespace {

using std::chrono::seconds;
using namespace std::chrono_literals;

// The moment the dates below name, less 90 seconds.
const std::chrono::system_clock::time_point kNow =
    std::chrono::sys_days{std::chrono::year(1994) / 11 / 6} + 8h + 49min + 37s - 90s;

TEST(RetryAfterOf, ReadsDelaySeconds) {
  EXPECT_EQ(RetryAfterOf(503, "120", kNow), seconds(120));
  EXPECT_EQ(RetryAfterOf(429, " 7 ", kNow), seconds(7));
  // Only a busy or rate-limiting server's answer asks for a wait.
  EXPECT_EQ(RetryAfterOf(500, "120", kNow), std::nullopt);
  EXPECT_EQ(RetryAfterOf(200, "120", kNow), std::nullopt);
  // No wait at all, and what is no number of seconds.
  for (const char* text : {"", "0", "-5", "12a", "1.5", "+3"}) {
    EXPECT_EQ(RetryAfterOf(503, text, kNow), std::nullopt) << text;
  }
  // An absurd count saturates instead of overflowing.
  const std::optional<seconds> huge = RetryAfterOf(503, std::string(40, '9'), kNow);
  ASSERT_TRUE(huge.has_value());
  EXPECT_GT(*huge, std::chrono::hours(24 * 365));
}

TEST(RetryAfterOf, ReadsTheThreeHttpDateForms) {
  for (const char* date : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                           "Sun Nov  6 08:49:37 1994", "sun, 06 NOV 1994 08:49:37 gmt"}) {
    EXPECT_EQ(RetryAfterOf(503, date, kNow), seconds(90)) << date;
  }
  // A date already past asks for no wait.
  EXPECT_EQ(RetryAfterOf(503, "Sun, 06 Nov 1994 08:47:37 GMT", kNow), std::nullopt);
  EXPECT_EQ(RetryAfterOf(429, "Mon, 07 Nov 1994 08:49:37 GMT", kNow), seconds(90 + 24 * 3600));
}

TEST(RetryAfterOf, AFarDateIsALongWaitNotNone) {
  // Past 2262 a date no longer fits the clock's nanoseconds; it is still a
  // wait of centuries (capped by the caller), never "at once".
  for (const char* date : {"Fri, 01 Jan 2300 00:00:00 GMT", "Fri, 31 Dec 9999 23:59:59 GMT"}) {
    const std::optional<seconds> wait = RetryAfterOf(503, date, kNow);
    ASSERT_TRUE(wait.has_value()) << date;
    EXPECT_GT(*wait, std::chrono::hours(24 * 365 * 5)) << date;
  }
}

TEST(RetryAfterOf, RefusesDatesThatDoNotExist) {
  for (const char* date : {"Thu, 31 Feb 2100 08:49:37 GMT", "Sun, 06 Nov 2100 24:00:00 GMT",
                           "Sun, 06 Nov 2100 08:60:00 GMT", "Sun, 06 Foo 2100 08:49:37 GMT",
                           "Sun, 06 Nov 2100", "tomorrow", "Sun, 06 Nov 2100 8:49:37 GMT"}) {
    EXPECT_EQ(RetryAfterOf(503, date, kNow), std::nullopt) << date;
  }
}

}  // namespace
}  // namespace brenvik::download
