// What the engine reads from its environment at start: the port, the idle
// time after which it ends, and the fault switches that tests use to make
// it misbehave on purpose. Everything has a default; a malformed value is
// reported (Problems) and the default kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

inline constexpr std::uint16_t kDefaultPort = 38006;
inline constexpr int kDefaultIdleExitSeconds = 30;

// TLX_ENGINE_FAULT: a comma-separated list of these names; all off by
// default.
struct FaultSwitches {
    bool fallback = false;            // every job ends with fallback right after 4
    bool stall = false;               // 4, then nothing more for the job
    bool silent = false;              // not even 4
    bool diskFull = false;            // 8 with state 1 right after 4; job paused
    bool network = false;             // 9 then 10 after the first progress report
    bool jobFailed = false;           // 11 instead of 4
    bool resume = false;              // 16 for every job, waiting for 18
    bool badFrame = false;            // an unknown subtype, then a truncated message
    bool outsidePath = false;         // 15 with a kept path outside the job's folder
    bool partialEnd = false;          // 6 without fallback and fewer files than described
    bool claimDone = false;           // wild progress, 7 for every file and 6 complete, nothing written
    std::uint64_t dieAfterBytes = 0;  // die-after:N; 0 = off

    bool Any() const;
};

struct EngineConfig {
    std::uint16_t port = kDefaultPort;
    int idleExitSeconds = kDefaultIdleExitSeconds;
    FaultSwitches faults;
    // One line per value that was malformed and ignored, for the log.
    std::vector<std::string> problems;
};

// Decimal digits only, no sign, no spaces, at most `max`: the form of every
// number the engine reads from its environment.
[[nodiscard]] bool ParseDecimal(const char* text, std::uint64_t max, std::uint64_t* value);

// Reads TLX_ENGINE_PORT, TLX_ENGINE_IDLE_EXIT and TLX_ENGINE_FAULT.
EngineConfig ReadEngineConfig();

// Exposed for tests of the parsing.
bool ParsePort(const char* text, std::uint16_t* port);
bool ParseFaults(const std::string& list, FaultSwitches* faults,
                 std::vector<std::string>* problems);

}  // namespace engine
