#pragma once
// Sets or unsets an environment variable for one scope, and puts back what
// was there before. Names and values are UTF-8 on every platform.

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/utf8_path.h"

namespace brenvik::test {

class ScopedEnv {
 public:
  // A null `value` unsets the variable.
  ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
#ifdef _WIN32
    if (const wchar_t* old = _wgetenv(PathFromUtf8(name_).c_str())) previous_ = Utf8Of(old);
#else
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
#endif
    Set(value);
  }
  ScopedEnv(std::string name, const std::string& value)
      : ScopedEnv(std::move(name), value.c_str()) {}
  ~ScopedEnv() { Set(previous_ ? previous_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const char* value) {
#ifdef _WIN32
    // The wide environment, so that a value outside the code page survives;
    // an empty value removes the variable there.
    (void)_wputenv_s(PathFromUtf8(name_).c_str(),
                     value != nullptr ? PathFromUtf8(value).c_str() : L"");
#else
    if (value != nullptr) {
      setenv(name_.c_str(), value, 1);
    } else {
      unsetenv(name_.c_str());
    }
#endif
  }

  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace brenvik::test
