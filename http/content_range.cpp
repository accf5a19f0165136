#include "http/content_range.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool ReadNumber(const char*& p, std::int64_t* value) {
    if (*p < '0' || *p > '9') return false;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(p, &end, 10);
    if (end == p || n < 0 || errno == ERANGE) return false;
    *value = n;
    p = end;
    return true;
}

}  // namespace

bool ParseContentRange(const std::string& value, ContentRange* range) {
    *range = ContentRange{};
    const char* p = value.c_str();
    while (*p == ' ') ++p;
    if (std::strncmp(p, "bytes", 5) != 0) return false;
    p += 5;
    while (*p == ' ') ++p;
    if (*p == '*') {
        ++p;
    } else {
        if (!ReadNumber(p, &range->first) || *p != '-') return false;
        ++p;
        if (!ReadNumber(p, &range->last) || range->last < range->first) return false;
    }
    if (*p != '/') return false;
    ++p;
    if (*p == '*') return true;
    return ReadNumber(p, &range->total);
}
