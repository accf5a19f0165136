#include "http/resolve_location.h"

std::string ResolveLocation(const std::string& requestUrl, const std::string& location) {
    if (location.empty() || location.front() != '/' || location.rfind("//", 0) == 0)
        return location;
    std::size_t scheme = requestUrl.find("://");
    if (scheme == std::string::npos) return location;
    std::size_t pathStart = requestUrl.find('/', scheme + 3);
    return requestUrl.substr(0, pathStart) + location;
}
