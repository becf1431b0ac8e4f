#include "texts/statistics_text.h"

#include "platform/prompt.h"
#include "texts/run_texts.h"

namespace brenvik {

std::string StatisticsLine(const StatisticsValues& values) {
  const std::string estimate =
      values.estimate_seconds ? FormatEstimate(*values.estimate_seconds) : std::string();
  if (values.limit_kb != 0) {
    return Format(kLimitedStatisticsFormat,
                  static_cast<unsigned long long>(values.done_bytes >> 10),
                  static_cast<unsigned long long>(values.total_bytes >> 10), values.rate_kb,
                  values.limit_kb, estimate.c_str());
  }
  return Format(kStatisticsFormat, static_cast<unsigned long long>(values.done_bytes >> 10),
                static_cast<unsigned long long>(values.total_bytes >> 10), values.rate_kb,
                estimate.c_str());
}

std::string FormatEstimate(uint64_t seconds) {
  return Format("%.2llu:%.2llu:%.2llu", static_cast<unsigned long long>(seconds / 3600),
                static_cast<unsigned long long>(seconds / 60 % 60),
                static_cast<unsigned long long>(seconds % 60));
}

}  // namespace brenvik
