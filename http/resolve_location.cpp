#include "http/resolve_location.h"

#include <vector>

#include "platform/text.h"

namespace {

struct UrlParts {
    std::string scheme;     // lower case, without ":"
    std::string authority;  // without "//"; empty when absent
    bool hasAuthority = false;
    std::string path;
    std::string query;  // without "?"
    bool hasQuery = false;
};

// A scheme is a letter followed by letters, digits, "+", "-" or ".", then ":".
std::size_t SchemeLength(std::string_view text) {
    if (text.empty() || !((text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z')))
        return 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ':') return i;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '+' || c == '-' || c == '.';
        if (!ok) return 0;
    }
    return 0;
}

// Splits a reference into its parts (RFC 3986, appendix B), fragment dropped.
UrlParts Split(std::string_view text) {
    UrlParts parts;
    if (std::size_t hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
    if (std::size_t n = SchemeLength(text); n > 0) {
        parts.scheme = plat::AsciiLower(text.substr(0, n));
        text.remove_prefix(n + 1);
    }
    if (text.substr(0, 2) == "//") {
        text.remove_prefix(2);
        std::size_t end = text.find_first_of("/?");
        parts.authority = std::string(text.substr(0, end));
        parts.hasAuthority = true;
        text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
    std::size_t question = text.find('?');
    parts.path = std::string(text.substr(0, question));
    if (question != std::string_view::npos) {
        parts.query = std::string(text.substr(question + 1));
        parts.hasQuery = true;
    }
    return parts;
}

// RFC 3986, 5.2.4.
std::string RemoveDotSegments(const std::string& path) {
    std::vector<std::string> out;
    std::size_t start = 0;
    const bool absolute = !path.empty() && path[0] == '/';
    if (absolute) start = 1;
    bool trailingSlash = false;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        std::string segment = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        const bool last = slash == std::string::npos;
        if (segment == ".") {
            trailingSlash = last;
        } else if (segment == "..") {
            if (!out.empty()) out.pop_back();
            trailingSlash = last;
        } else {
            out.push_back(std::move(segment));
            trailingSlash = false;
        }
        if (last) break;
        start = slash + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (i > 0) result += '/';
        result += out[i];
    }
    if (trailingSlash && (result.empty() || result.back() != '/')) result += '/';
    return result;
}

std::string Merge(const UrlParts& base, const std::string& relative) {
    if (base.hasAuthority && base.path.empty()) return "/" + relative;
    std::size_t slash = base.path.rfind('/');
    if (slash == std::string::npos) return relative;
    return base.path.substr(0, slash + 1) + relative;
}

std::string Join(const UrlParts& parts) {
    std::string url = parts.scheme + "://" + parts.authority;
    if (parts.path.empty() || parts.path[0] != '/') url += '/';
    url += parts.path;
    if (parts.hasQuery) url += "?" + parts.query;
    return url;
}

bool IsWebScheme(const std::string& scheme) { return scheme == "http" || scheme == "https"; }

// Whether an authority names a host, read the way the connection will read
// it (http/split_url.h): the text before any ":" port. "//:8080/x" has none.
bool HasHost(const UrlParts& parts) {
    return parts.hasAuthority && !parts.authority.empty() && parts.authority[0] != ':';
}

}  // namespace

LocationVerdict ResolveLocation(std::string_view requestUrl, std::string_view location,
                                std::string* target) {
    // Leading and trailing white space is no part of a reference.
    location = plat::Trim(location);
    if (location.empty()) return LocationVerdict::kEmpty;
    const UrlParts base = Split(requestUrl);
    if (!IsWebScheme(base.scheme) || !HasHost(base)) return LocationVerdict::kUnusable;
    const UrlParts ref = Split(location);
    UrlParts result;
    if (!ref.scheme.empty()) {
        if (!IsWebScheme(ref.scheme)) return LocationVerdict::kUnsupportedScheme;
        result = ref;
        result.path = RemoveDotSegments(ref.path);
    } else if (ref.hasAuthority) {
        result = ref;
        result.scheme = base.scheme;
        result.path = RemoveDotSegments(ref.path);
    } else {
        result.scheme = base.scheme;
        result.authority = base.authority;
        result.hasAuthority = true;
        if (ref.path.empty()) {
            result.path = base.path;
            result.query = ref.hasQuery ? ref.query : base.query;
            result.hasQuery = ref.hasQuery || base.hasQuery;
        } else {
            result.path = RemoveDotSegments(ref.path[0] == '/' ? ref.path : Merge(base, ref.path));
            result.query = ref.query;
            result.hasQuery = ref.hasQuery;
        }
    }
    if (!HasHost(result)) return LocationVerdict::kUnusable;
    *target = Join(result);
    return LocationVerdict::kResolved;
}

std::string ResolveLocation(const std::string& requestUrl, const std::string& location) {
    std::string target;
    return ResolveLocation(requestUrl, location, &target) == LocationVerdict::kResolved ? target
                                                                                       : std::string();
}

const char* LocationVerdictText(LocationVerdict verdict) {
    switch (verdict) {
        case LocationVerdict::kResolved:
            return "redirect resolved";
        case LocationVerdict::kEmpty:
            return "redirect without a Location";
        case LocationVerdict::kUnsupportedScheme:
            return "redirect to an address that is neither http nor https";
        case LocationVerdict::kUnusable:
            return "redirect to an address without a host";
    }
    return "unusable redirect";
}
