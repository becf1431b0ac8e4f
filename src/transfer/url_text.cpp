#include "transfer/url_text.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "transfer/download_service.h"
#include "transfer/download_transport.h"

namespace brenvik {

namespace {

std::string Lowered(std::string_view text) {
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lowered;
}

// Where the URL's path starts: after "scheme://authority"; 0 without an
// authority.
size_t PathStart(std::string_view url) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return 0;
  return std::min(url.find_first_of("/?", scheme_end + 3), url.size());
}

// The path with its "." and ".." segments resolved; ".." never climbs
// above the root.
std::string WithoutDotSegments(std::string_view path) {
  std::vector<std::string_view> kept;
  bool folder_at_end = false;  // the last segment was "." or "..": the path names a folder
  size_t start = path.starts_with("/") ? 1 : 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, end - start);
    folder_at_end = segment == "." || segment == "..";
    if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (segment != ".") {
      kept.push_back(segment);
    }
    start = end + 1;
  }
  std::string resolved = path.starts_with("/") ? "/" : "";
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) resolved += '/';
    resolved += kept[i];
  }
  if (folder_at_end && !resolved.ends_with("/")) resolved += '/';
  return resolved;
}

// `location` joined to `base`: the whole URL the reference stands for.
std::string Joined(std::string_view base, std::string_view location) {
  const size_t letters = location.find_first_not_of(
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
  if (letters != 0 && letters != std::string_view::npos && location[letters] == ':') {
    return std::string(location);  // has a scheme of its own
  }
  if (location.starts_with("//")) return SchemeOf(base) + ":" + std::string(location);
  const size_t path_start = PathStart(base);
  const std::string origin(base.substr(0, path_start));
  if (location.starts_with("/")) return origin + std::string(location);
  const std::string_view base_path = base.substr(path_start, base.find('?') - path_start);
  const size_t folder_end = base_path.rfind('/');
  const std::string folder =
      folder_end == std::string_view::npos ? "/" : std::string(base_path.substr(0, folder_end + 1));
  return origin + folder + std::string(location);
}

}  // namespace

void AppendPercentEscape(std::string& text, char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto byte = static_cast<unsigned char>(c);
  text += '%';
  text += kHex[byte >> 4];
  text += kHex[byte & 0x0F];
}

std::string SchemeOf(std::string_view url) {
  const size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  return Lowered(url.substr(0, colon));
}

std::string AuthorityOf(std::string_view url) {
  const size_t scheme_end = url.find("://");
  std::string_view authority =
      scheme_end == std::string_view::npos ? url : url.substr(scheme_end + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  return std::string(authority);
}

std::string ResolveLocation(std::string_view base, std::string_view location) {
  location = download::Trimmed(location.substr(0, location.find('#')));
  const std::string target = Joined(base, location);
  const size_t path_start = PathStart(target);
  const size_t query = std::min(target.find('?', path_start), target.size());
  const std::string resolved =
      target.substr(0, path_start) +
      WithoutDotSegments(std::string_view(target).substr(path_start, query - path_start)) +
      target.substr(query);
  std::string wire;
  for (const char c : resolved) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) {
      AppendPercentEscape(wire, c);
    } else {
      wire += c;
    }
  }
  return wire;
}

std::string RedirectRefusal(std::string_view from, std::string_view to) {
  const std::string scheme = SchemeOf(to);
  const std::string shown = "\"" + std::string(to.substr(0, 300)) + "\"";
  if (scheme != "http" && scheme != "https") {
    return "the server redirected to " + shown + ", which is neither http nor https";
  }
  if (SchemeOf(from) == "https" && scheme == "http") {
    return "the server redirected from https to the unprotected address " + shown +
           ", which is refused";
  }
  return {};
}

std::string EncodedNamePath(std::string_view name) {
  std::string path;
  path.reserve(name.size());
  for (const char c : name) {
    // ASCII letters and digits only, whatever the locale says.
    const bool letter_or_digit =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (c == '/' || c == '\\') {
      path += '/';
    } else if (letter_or_digit || c == '-' || c == '.' || c == '_' || c == '~') {
      path += c;
    } else {
      AppendPercentEscape(path, c);
    }
  }
  return path;
}

std::string FileUrlPath(std::string_view url) {
  const size_t scheme_end = url.find("://");
  std::string rest(scheme_end == std::string_view::npos ? url : url.substr(scheme_end + 3));
  if (Lowered(rest.substr(0, 10)) == "localhost/") rest.erase(0, 9);
  const auto drive_at = [&rest](size_t at) {
    return rest.size() > at + 1 && std::isalpha(static_cast<unsigned char>(rest[at])) &&
           rest[at + 1] == ':';
  };
  if (rest.starts_with("/") && drive_at(1)) {
    rest.erase(0, 1);
  } else if (!rest.empty() && rest[0] != '/' && !drive_at(0)) {
    rest.insert(0, "//");
  }
  std::string path;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (StartsPercentEscape(rest, i)) {
      path += static_cast<char>(std::stoi(rest.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      path += rest[i];
    }
  }
  return path;
}

}  // namespace brenvik
