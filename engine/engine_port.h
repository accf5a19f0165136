// The engine's loopback port: 38006, or TLX_ENGINE_PORT (a decimal number
// from 1 to 65535) for tests and demos; the engine program reads the same
// variable. A malformed value is ignored with a line in the service log.
// Read at every call, so a changed variable takes effect at the next connect.
#pragma once

#include <cstdint>

inline constexpr std::uint16_t kDefaultEnginePort = 38006;
inline constexpr const char* kEnginePortVariable = "TLX_ENGINE_PORT";

std::uint16_t EnginePort();
