#pragma once
// Which proxy a URL goes through, read from the environment as Unix
// programs read it: `http_proxy` for http (lower case only, as a CGI
// program could otherwise be steered by a request's Proxy header),
// `https_proxy` or `HTTPS_PROXY` for https, else `all_proxy` or
// `ALL_PROXY`; none for a host that `no_proxy` or `NO_PROXY` names ("*" for
// every host; "example.com" or ".example.com" for it and below it).
// The libcurl transport hands the answer to libcurl itself, so the proxy a
// message names is the one the transfer used.
//
// Thread safety: plain functions; any thread (the environment is only read).

#include <functional>
#include <string>
#include <string_view>

namespace brenvik {

// Reads one environment variable; nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// The proxy for `url` ("http://proxy:3128"); empty for none.
std::string ProxyFor(std::string_view url, const EnvironmentLookup& lookup);

// The proxy as messages show it: without a user name or password.
std::string ShownProxy(std::string_view proxy);

}  // namespace brenvik
