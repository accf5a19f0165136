// The numbers the engine's HTTP transfers run by. The service keeps the same
// values in its own header (the engine shares no code with it); a test holds
// the two equal, so that a job behaves alike by either path.
#pragma once

#include <cstdint>

namespace engine::transfer_policy {

// Requests per source of a file before the next source is tried.
inline constexpr int kAttemptsPerAddress = 3;
// Redirects followed for one request.
inline constexpr long kMaxRedirects = 20;
// Receive caps: with the player's consent to full speed, and without it.
inline constexpr std::int64_t kFastBytesPerSecond = 104857600;
inline constexpr std::int64_t kNormalBytesPerSecond = 393216;
// Below this many bytes in this many seconds a transfer counts as stalled:
// the attempt ends and another one resumes from what arrived.
inline constexpr long kLowSpeedBytes = 1024;
inline constexpr long kLowSpeedSeconds = 30;
// Size probes running at once for one job.
inline constexpr std::size_t kParallelSizeProbes = 5;

}  // namespace engine::transfer_policy
