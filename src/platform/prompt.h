#pragma once
// The one way the program asks the user something: a message with buttons
// and an icon, answered with the button pressed. The Qt face shows a message
// box on the GUI thread, the terminal face asks on the terminal, tests script
// the answers. Implementations must accept calls from any thread; the caller
// blocks until the answer is there.

#include <string>

namespace brenvik {

enum class PromptButtons { kOk, kRetryCancel };
enum class PromptIcon { kNone, kStop };
enum class PromptAnswer { kOk, kRetry, kCancel };

class Prompt {
 public:
  virtual ~Prompt() = default;
  virtual PromptAnswer Ask(const std::string& text, PromptButtons buttons, PromptIcon icon) = 0;
};

// Formats like std::snprintf into a std::string; used for the program's fixed
// message formats so they stay byte for byte as written.
#ifdef _WIN32
// MinGW's C++ runtime formats with the GNU printf (%zu, %llu), not the
// system's, so the arguments are checked against that one.
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

}  // namespace brenvik
