#include "transfer/proxy_setting.h"

#include <algorithm>
#include <cctype>

#include "platform/paths.h"
#include "transfer/url_text.h"

namespace brenvik {

namespace {

// The URL's host without user, port or brackets.
std::string HostOf(std::string_view url) {
  const std::string authority = AuthorityOf(url);
  if (authority.starts_with("[")) return authority.substr(1, authority.find(']') - 1);
  return authority.substr(0, authority.find(':'));
}

std::string_view TrimmedBlanks(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// True when the comma-separated `list` names `host` or a domain above it.
bool Bypassed(std::string_view list, std::string_view host) {
  while (!list.empty()) {
    const size_t comma = std::min(list.find(','), list.size());
    std::string_view entry = TrimmedBlanks(list.substr(0, comma));
    list.remove_prefix(std::min(comma + 1, list.size()));
    if (entry == "*") return true;
    if (entry.starts_with(".")) entry.remove_prefix(1);
    if (entry.empty() || entry.size() > host.size()) continue;
    const std::string_view tail = host.substr(host.size() - entry.size());
    if (EqualIgnoringAsciiCase(tail, entry) &&
        (tail.size() == host.size() || host[host.size() - entry.size() - 1] == '.')) {
      return true;
    }
  }
  return false;
}

const char* FirstSet(const EnvironmentLookup& lookup, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = lookup(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

}  // namespace

std::string ProxyFor(std::string_view url, const EnvironmentLookup& lookup) {
  const std::string scheme = SchemeOf(url);
  if (scheme != "http" && scheme != "https") return {};
  if (const char* bypass = FirstSet(lookup, {"no_proxy", "NO_PROXY"});
      bypass != nullptr && Bypassed(bypass, HostOf(url))) {
    return {};
  }
  const char* proxy = scheme == "http" ? FirstSet(lookup, {"http_proxy"})
                                       : FirstSet(lookup, {"https_proxy", "HTTPS_PROXY"});
  if (proxy == nullptr) proxy = FirstSet(lookup, {"all_proxy", "ALL_PROXY"});
  return proxy == nullptr ? std::string() : std::string(TrimmedBlanks(proxy));
}

std::string ShownProxy(std::string_view proxy) {
  const size_t scheme_end = proxy.find("://");
  const size_t start = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
  const size_t end = std::min(proxy.find_first_of("/?#", start), proxy.size());
  const size_t at = proxy.substr(0, end).rfind('@');
  if (at == std::string_view::npos || at < start) return std::string(proxy);
  return std::string(proxy.substr(0, start)) + std::string(proxy.substr(at + 1));
}

}  // namespace brenvik
