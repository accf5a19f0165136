// The engine's time base: monotonic milliseconds, immune to clock changes.
#pragma once

#include <time.h>

#include <cstdint>

namespace engine {

inline std::int64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace engine
