#pragma once
// The fixed texts both window faces show beside their pages' own: the
// message boxes' title, the About entry and box, the speed limit's entry and
// question, the tooltip failure, and the notification at a run's end.

#include <string>

namespace brenvik {

// The name a message box carries in its title bar.
inline constexpr const char* kProgramName = "Brenvik";
inline constexpr const char* kAboutEntry = "&About Brenvik...";
inline constexpr const char* kTooltipError = "Couldn't create tooltip!";

// The window menu's entry that asks for a speed limit, and its question.
inline constexpr const char* kSpeedLimitEntry = "Limit download speed\u2026";
inline constexpr const char* kSpeedLimitCaption = "Limit download speed";
inline constexpr const char* kSpeedLimitQuestion =
    "Download at most this many bytes per second, all downloads together\n"
    "(at least 16k; k or M after the number: 500k, 2M; 0 for no limit):";
// Said when the answer is no speed limit, with the answer.
inline constexpr const char* kSpeedLimitRefusedFormat =
    "\"%s\" is no speed limit. Give bytes per second, at least 16k, with k or M after the "
    "number (500k, 2M), or 0 for no limit.";

// The body of the desktop's notification when a run ends while its window
// is not in front (the summary is kProgramName).
inline constexpr const char* kRunCompleteNotice = "The download is complete.";
inline constexpr const char* kInstallerFailedNotice =
    "The download is complete, but Install.exe could not be started.";
inline constexpr const char* kRunFailedNotice = "The download failed.";
inline constexpr const char* kRunCancelledNotice = "The download was cancelled.";

inline constexpr const char* kAboutCaption = "About Brenvik";
inline constexpr const char* kAboutNotice =
    "Copyright (C) Quellmoor Tessivane. All rights reserved.";
inline constexpr const char* kAboutUnsignedNotice =
    "Catalogues are not signature-checked: no publisher key is built in.";

// "Quellmoor Tessivane Brenvik Version 1.1": the major and minor number of
// the program's version (BRENVIK_VERSION, the project's version), so the
// About box and --version never disagree.
inline std::string AboutVersionLine() {
  const std::string version = BRENVIK_VERSION;
  const size_t major_end = version.find('.');
  const size_t minor_end =
      major_end == std::string::npos ? std::string::npos : version.find('.', major_end + 1);
  return "Quellmoor Tessivane Brenvik Version " + version.substr(0, minor_end);
}

}  // namespace brenvik
