// The progress record of a job carried by the engine, made from the engine's
// once-a-second report: totals and counters as reported, the rates averaged
// over the last ten seconds of reports.
//
// A rate ring holds ten samples {report time stamp, rate}; its average is the
// mean of the samples no older than ten seconds before the newest (and not
// newer: a stamp that went backwards is no sample of this window). Sums are
// 64-bit. Each job has rings of its own, so one job's samples never colour
// another's rate; the current-file ring empties whenever a file completes.
//
// Plain state; it runs where its engine downloader runs.
#pragma once

#include <array>
#include <cstdint>

#include "engine/local_protocol.h"
#include "service/base/job_records.h"

class CJob;

class RateRing {
public:
    static constexpr int kSlots = 10;
    static constexpr std::int64_t kWindowSeconds = 10;

    void Push(std::int64_t stamp, std::int64_t rate);
    std::int64_t Average() const;
    void Clear() {
        samples_ = {};
        current_ = -1;
    }

private:
    struct Sample {
        std::int64_t stamp = 0;
        std::int64_t rate = 0;
    };
    std::array<Sample, kSlots> samples_{};
    int current_ = -1;
};

struct EngineJobRings {
    RateRing job;
    RateRing file;
};

// The record for `job` from `report`, pushing the report's speeds into the
// job's rings.
JobProgress MakeEngineProgress(const ProgressReport& report, const CJob& job,
                               EngineJobRings* rings);
