// The Content-Range of a 206 answer, read the one way every session reads
// it: "bytes A-B/N", or "bytes */N" (N may be "*").
//
// Plain functions; any thread.
#pragma once

#include <cstdint>
#include <string>

struct ContentRange {
    std::int64_t first = -1;  // -1 for "*"
    std::int64_t last = -1;
    std::int64_t total = -1;  // -1 for "*" or absent
};

// False when `value` is no Content-Range of bytes.
[[nodiscard]] bool ParseContentRange(const std::string& value, ContentRange* range);
