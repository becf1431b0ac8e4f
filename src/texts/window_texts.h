#pragma once
// The fixed texts both window faces show beside their pages' own: the
// message boxes' title, the About entry and the tooltip failure.

namespace brenvik {

// The name a message box carries in its title bar.
inline constexpr const char* kProgramName = "Brenvik";
inline constexpr const char* kAboutEntry = "&About Brenvik...";
inline constexpr const char* kTooltipError = "Couldn't create tooltip!";

}  // namespace brenvik
