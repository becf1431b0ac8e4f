#include "platform/paths.h"

#include <array>

namespace brenvik {

namespace {

constexpr bool IsAnySeparator(char c) { return c == '/' || c == '\\'; }

constexpr char FoldAsciiCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The index just past the separator that ends the component starting at
// `from`, or the end of `path` when no separator follows.
size_t PastComponent(std::string_view path, size_t from) {
  while (from < path.size() && !IsAnySeparator(path[from])) ++from;
  return from < path.size() ? from + 1 : from;
}

// True for the part of a component before its first dot (blanks at its end
// already dropped) that Windows opens as a device rather than a file.
bool IsWindowsDeviceName(std::string_view base) {
  static constexpr std::array<std::string_view, 6> kDevices = {"con", "prn",    "aux",
                                                               "nul", "conin$", "conout$"};
  for (const std::string_view device : kDevices) {
    if (EqualIgnoringAsciiCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string_view port = base.substr(0, 3);
  if (!EqualIgnoringAsciiCase(port, "com") && !EqualIgnoringAsciiCase(port, "lpt")) return false;
  const std::string_view number = base.substr(3);
  // Windows also reads the Latin-1 superscripts 1, 2 and 3 as port numbers.
  return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
         number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace

std::string FoldedAsciiCase(std::string text) {
  for (char& c : text) c = FoldAsciiCase(c);
  return text;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  }
  return true;
}

bool IsWindowsSafeComponent(std::string_view component) {
  if (component.empty()) return true;
  // Windows drops trailing dots and blanks, so the name stored would not be
  // the name asked for ("." and ".." end in a dot too).
  if (component.back() == '.' || component.back() == ' ') return false;
  for (const char c : component) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::string_view("<>\"|?*:").find(c) != std::string_view::npos) {
      return false;
    }
  }
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  return !IsWindowsDeviceName(base);
}

bool IsSafeRelativeName(std::string_view name, NameRules rules) {
  if (name.empty() || IsAnySeparator(name.front())) return false;
  // A colon makes "C:x" drive-relative on Windows and names a stream there;
  // a NUL would cut the name short when it reaches the operating system.
  if (name.find_first_of(std::string_view(":\0", 2)) != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsAnySeparator(name[end])) ++end;
    const std::string_view component = name.substr(start, end - start);
    if (component == "..") return false;
    if (rules == NameRules::kWindows && !IsWindowsSafeComponent(component)) return false;
    start = end + 1;
  }
  return true;
}

size_t WindowsRootLength(std::string_view path) {
  const auto is_drive = [](std::string_view p) {
    return p.size() >= 2 && p[1] == ':' && FoldAsciiCase(p[0]) >= 'a' && FoldAsciiCase(p[0]) <= 'z';
  };
  if (is_drive(path)) return path.size() > 2 && IsAnySeparator(path[2]) ? 3 : 2;
  if (path.empty() || !IsAnySeparator(path[0])) return 0;
  if (path.size() < 2 || !IsAnySeparator(path[1])) return 1;
  // "\\?\" and "\\.\" lead a long or device path: a drive or volume
  // ("\\?\C:\"), or a share after "UNC\".
  if (path.size() >= 4 && (path[2] == '?' || path[2] == '.') && IsAnySeparator(path[3])) {
    const std::string_view rest = path.substr(4);
    if (rest.size() >= 4 && EqualIgnoringAsciiCase(rest.substr(0, 3), "unc") &&
        IsAnySeparator(rest[3])) {
      return PastComponent(path, PastComponent(path, 8));
    }
    return PastComponent(path, 4);
  }
  // "\\server\share\": the server, then the share.
  return PastComponent(path, PastComponent(path, 2));
}

std::string LocalPath(const std::string& folder, const std::string& name) {
  std::string path = folder;
  path.reserve(folder.size() + name.size());
  for (const char c : name) path.push_back(IsAnySeparator(c) ? kSeparator : c);
  return path;
}

std::string WithTrailingSeparator(std::string folder) {
  // Only a real separator of this platform counts: on POSIX a trailing '\\'
  // is part of the last name.
  if (folder.empty() || (folder.back() != kSeparator && folder.back() != '/')) {
    folder.push_back(kSeparator);
  }
  return folder;
}

}  // namespace brenvik
