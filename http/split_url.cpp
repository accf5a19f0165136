#include "http/split_url.h"

#include <climits>

#include "http/url_file_name.h"
#include "platform/text.h"

namespace {

constexpr std::string_view kHttpPrefix = "http://";
constexpr std::string_view kHttpsPrefix = "https://";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           plat::AsciiLower(text.substr(0, prefix.size())) == prefix;
}

// atoi's reading without its undefined overflow: leading white space, an
// optional sign, then digits; an overflow saturates as the Windows runtime
// does. The caller keeps the low 16 bits, as the port field always did.
int ReadLikeAtoi(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (negative) return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace

bool SplitUrl(std::string_view url, std::string* host, std::string* path, std::uint16_t* port,
              int* scheme) {
    // A fragment belongs to the reader of a page, never to the request.
    url = WithoutFragment(url);
    int foundScheme = 0;
    std::uint16_t defaultPort = 0;
    std::string_view rest;
    if (StartsWithNoCase(url, kHttpPrefix)) {
        foundScheme = kUrlSchemeHttp;
        defaultPort = 80;
        rest = url.substr(kHttpPrefix.size());
    } else if (StartsWithNoCase(url, kHttpsPrefix)) {
        foundScheme = kUrlSchemeHttps;
        defaultPort = 443;
        rest = url.substr(kHttpsPrefix.size());
    } else {
        return false;
    }
    if (rest.empty()) return false;

    std::size_t slash = rest.find('/');
    std::string_view hostAndPort = rest.substr(0, slash);
    std::string_view pathPart =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash);

    std::size_t colon = hostAndPort.find(':');
    if (colon != std::string_view::npos) {
        host->assign(hostAndPort.substr(0, colon));
        *port = static_cast<std::uint16_t>(ReadLikeAtoi(hostAndPort.substr(colon + 1)));
    } else {
        host->assign(hostAndPort);
        *port = defaultPort;
    }
    path->assign(pathPart);
    *scheme = foundScheme;
    return true;
}

std::string UrlOrigin(std::string_view url) {
    std::string host, path;
    std::uint16_t port = 0;
    int scheme = 0;
    if (!SplitUrl(url, &host, &path, &port, &scheme) || host.empty()) return {};
    if (scheme != kUrlSchemeHttp && scheme != kUrlSchemeHttps) return {};
    return std::string(scheme == kUrlSchemeHttps ? "https://" : "http://") + host + ":" +
           std::to_string(port);
}
