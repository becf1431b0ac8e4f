#pragma once
// Text rules for the URLs a download meets: the scheme, the address a
// redirect leads to, and the local path a file URL names. Plain text work,
// the same on every platform.
//
// Thread safety: plain functions; any thread.

#include <string>
#include <string_view>

namespace brenvik {

// Appends `c` as a percent escape ("%2F").
void AppendPercentEscape(std::string& text, char c);

// The URL's scheme in lower case ("http"); empty when it has none.
std::string SchemeOf(std::string_view url);

// The server part of a URL as a user reads it, without a user name:
// "mirror.example.org:8080" for "https://user@mirror.example.org:8080/x/".
// Text without a scheme is read from its start.
std::string AuthorityOf(std::string_view url);

// The address a redirect's Location leads to from `base`: an absolute
// URL, one relative to base's scheme ("//host/x"), its server ("/x") or its
// folder ("x", "../x"). "." and ".." segments are resolved, the fragment
// is dropped, and blanks, controls and non-ASCII bytes are escaped for the
// wire.
std::string ResolveLocation(std::string_view base, std::string_view location);

// Why a redirect from `from` to `to` (both whole URLs) is refused: `to` is
// neither http nor https, or it leaves https for http (the rest would
// travel unprotected); empty when it may be followed.
std::string RedirectRefusal(std::string_view from, std::string_view to);

// A relative name ('/' or '\\' separated) as the path of a URL: every
// byte but letters, digits and "-._~" percent-encoded in each segment
// ('+' too: some servers read it as a blank), the segments joined by '/'.
std::string EncodedNamePath(std::string_view name);

// The local path a file URL names, percent escapes decoded (UTF-8 text).
// "file:///srv/a%20b" names /srv/a b; "file:///C:/a", "file://C:\a" (as a
// folder is often written) and "file://localhost/C:/a" name C:/a; another
// host names a server share: "file://server/share/x" is //server/share/x.
std::string FileUrlPath(std::string_view url);

}  // namespace brenvik
