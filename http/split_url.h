// Splits an http or https URL into what a connection needs: the host to
// resolve, the port to connect to, the scheme (whether TLS goes underneath)
// and the path that becomes the request target. The HTTP client layer calls
// it when it opens a URL.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int kUrlSchemeHttp = 1;   // "http://", default port 80
inline constexpr int kUrlSchemeHttps = 3;  // "https://", default port 443

// The scheme is matched case-insensitively; everything after it keeps its
// case. The path runs from the first "/" after the host to the end, query
// included, fragment ("#...") not, and is empty when there is no such "/". A port text is read the
// way atoi reads it, so "h:abc" gives port 0 and the connect fails later.
// Fails for any other scheme and for nothing after the scheme; the outputs
// are then left untouched. Every output pointer must be non-null.
bool SplitUrl(std::string_view url, std::string* host, std::string* path, std::uint16_t* port,
              int* scheme);

// The server an http or https URL names, as "scheme://host:port" with the
// scheme in lower case, the host as written and the port always given
// ("http://a/x" and "http://a:80/y" share "http://a:80"): two URLs with the
// same origin may share a connection. "" for a URL SplitUrl refuses or
// without a host.
std::string UrlOrigin(std::string_view url);
