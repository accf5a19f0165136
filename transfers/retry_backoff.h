// How long a job waits before it tries again after the network or its
// server failed it: 2 s, then twice as long each time up to 5 minutes. A
// try that moved the download on starts the count afresh. After
// kMaxWaits waits in a row without a byte (about 20 minutes of trying) the
// job fails for good, so nothing waits for a server that is gone for ever.
//
// Plain state, owned by the job's context; under the service lock.
#pragma once

#include <algorithm>
#include <cstdint>

class RetryBackoff {
public:
    static constexpr std::int64_t kFirstWaitMs = 2000;
    static constexpr std::int64_t kLongestWaitMs = 300000;
    static constexpr int kMaxWaits = 10;

    // The wait before the next try; 0 when the job should give up.
    std::int64_t NextWaitMs() {
        if (waits_ >= kMaxWaits) return 0;
        const std::int64_t wait = std::min(kLongestWaitMs, kFirstWaitMs << std::min(waits_, 20));
        ++waits_;
        return wait;
    }
    // The download moved on: the next failure waits the shortest time again.
    void Reset() { waits_ = 0; }
    int Waits() const { return waits_; }

private:
    int waits_ = 0;
};
