// The numbers every HTTP transfer of the service runs by, in one place.
// The engine program keeps its own copy of the same values (it shares no
// code with the service); a test holds the two copies equal.
#pragma once

#include <cstdint>

namespace transfer_policy {

// Requests per address of a file (a redirect counts as one) before the
// next mirror is tried: enough to ride out a reset or a busy server, few
// enough that a dead mirror costs seconds, not minutes.
inline constexpr int kAttemptsPerAddress = 3;
// Redirects followed in one exchange; real chains are one or two long.
inline constexpr int kMaxRedirects = 20;
// Receive caps of a file transfer: with the player's consent to full speed
// (not a limit in practice), and without it.
inline constexpr std::uint32_t kFastBytesPerSecond = 104857600;
inline constexpr std::uint32_t kNormalBytesPerSecond = 393216;
// The low-speed watchdog: fewer than this many bytes in this many seconds
// and the transfer counts as stalled.
inline constexpr std::uint32_t kLowSpeedBytes = 1024;
inline constexpr std::uint32_t kLowSpeedSeconds = 30;
// Size probes running at once for one check.
inline constexpr int kParallelSizeProbes = 5;
// Body bytes read on, and thrown away, to keep a connection whose reader
// left early (a size probe a server answered with the whole file): a small
// body costs less than a new connection, a large one is cut off.
inline constexpr std::int64_t kDrainLimitBytes = 64 * 1024;

}  // namespace transfer_policy
