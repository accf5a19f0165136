// Turns the Location of a redirect into the URL to ask next, as a browser
// resolves a reference against the page it came from (RFC 3986, section
// 5.2): an absolute "http:" or "https:" URL, a network path "//host/path",
// an absolute path "/path", a relative path "name" or "../name", or a query
// "?q" alone. Dot segments are removed and any fragment is dropped, since a
// fragment is never sent to a server.
//
// Plain functions without state; any thread.
#pragma once

#include <string>
#include <string_view>

enum class LocationVerdict {
    kResolved,
    kEmpty,              // no Location value at all
    kUnsupportedScheme,  // a scheme other than http or https ("ftp:", "file:", ...)
    kUnusable,           // the request URL is not http(s), or the result has no host
};

// Fills *target (only on kResolved).
LocationVerdict ResolveLocation(std::string_view requestUrl, std::string_view location,
                                std::string* target);

// The same, answering the target or "" when the Location cannot be followed.
std::string ResolveLocation(const std::string& requestUrl, const std::string& location);

// What a verdict other than kResolved means, for a log line or a message.
const char* LocationVerdictText(LocationVerdict verdict);
