#pragma once
// Mirrors.txt: the other servers that hold the same version folders as the
// server the catalogue came from. One base URL per line (http or https
// only), '#' starts a comment line, blank lines carry nothing. The file
// comes from the server, so every line is checked before it is used: a
// line that is no usable base URL is left out and said why, and the list
// is cut at kMostMirrors.
//
// Thread safety: plain functions over the caller's data; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

inline constexpr const char* kMirrorListFileName = "Mirrors.txt";
// Larger is no list of servers.
inline constexpr uint64_t kMirrorListFileLimit = 64 * 1024;
// More servers than this add nothing but connections.
inline constexpr size_t kMostMirrors = 16;

struct MirrorList {
  std::vector<std::string> servers;  // base URLs, each ending with '/'
  std::vector<std::string> ignored;  // one line each: what was left out and why
};

// A base URL as a server address: http or https, a host, no blanks,
// controls, fragment or query, at most 2000 bytes; a '/' is added at the
// end when missing. Nullopt with `why` set when it is none.
std::optional<std::string> MirrorBaseUrl(std::string_view text, std::string& why);

// Reads the lines of Mirrors.txt; duplicates are kept once.
MirrorList ParseMirrorList(std::string_view text);

}  // namespace brenvik
