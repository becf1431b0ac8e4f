#include "catalogue/mirror_list.h"

#include <algorithm>

#include "catalogue/text_lines.h"

namespace brenvik {

namespace {

constexpr size_t kLongestUrl = 2000;

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char c = text[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> MirrorBaseUrl(std::string_view text, std::string& why) {
  size_t host_at = 0;
  if (StartsWithIgnoringCase(text, "http://")) {
    host_at = 7;
  } else if (StartsWithIgnoringCase(text, "https://")) {
    host_at = 8;
  } else {
    why = "not an http:// or https:// address";
    return std::nullopt;
  }
  if (text.size() > kLongestUrl) {
    why = "longer than " + std::to_string(kLongestUrl) + " characters";
    return std::nullopt;
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) {
      why = "holds a blank or a control character";
      return std::nullopt;
    }
    if (c == '?' || c == '#' || c == '\\') {
      why = "holds a query, a fragment or a backslash";
      return std::nullopt;
    }
  }
  const size_t host_end = std::min(text.find('/', host_at), text.size());
  const std::string_view authority = text.substr(host_at, host_end - host_at);
  if (authority.empty() || authority.front() == ':') {
    why = "names no server";
    return std::nullopt;
  }
  if (authority.find('@') != std::string_view::npos) {
    why = "carries a user name or password";
    return std::nullopt;
  }
  std::string url(text);
  if (url.back() != '/') url.push_back('/');
  return url;
}

MirrorList ParseMirrorList(std::string_view text) {
  MirrorList list;
  std::string_view rest = text;
  // A list saved by an editor that marks UTF-8 with a byte order mark.
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  std::string_view line;
  int number = 0;
  while (NextLine(rest, line)) {
    ++number;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (IsSkippedLine(line)) continue;
    const std::string where = "line " + std::to_string(number);
    std::string why;
    const std::optional<std::string> url = MirrorBaseUrl(line, why);
    if (!url) {
      list.ignored.push_back(where + ": " + why);
    } else if (list.servers.size() >= kMostMirrors) {
      list.ignored.push_back(where + ": more than " + std::to_string(kMostMirrors) + " servers");
    } else if (std::find(list.servers.begin(), list.servers.end(), *url) == list.servers.end()) {
      list.servers.push_back(*url);
    }
  }
  return list;
}

}  // namespace brenvik
