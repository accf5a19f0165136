// The progress record of a job carried by the engine, made from the
// engine's once-a-second report but shown on the service's own terms: the
// job's total is the sum of the sizes the service knows, held bytes never
// exceed it, the bars never run backwards within a job, the elapsed time
// and the rate come from the service's own clock (the rate is what the
// held bytes grew by, averaged over the last ten seconds). Whatever in the
// report does not add up is named, so the caller can log the lie once.
//
// A rate ring holds ten samples {time stamp in seconds, rate}; its average
// is the mean of the samples no older than ten seconds before the newest
// (and not newer: a stamp that went backwards is no sample of this window).
// Sums are 64-bit.
//
// Plain state; it runs where its engine downloader runs.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

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

// How far a job's shown progress has come, and the samples of its rate.
struct EngineProgressMarks {
    std::int64_t shownHeld = 0;
    std::int32_t shownPercent = 0;
    std::int32_t shownIndex = -1;
    std::int32_t shownCurrentPercent = 0;
    std::int64_t sampleHeld = -1;  // held at the last rate sample; -1 none yet
    std::int64_t sampleAtMs = 0;
    RateRing rates;
};

// What the service knows of the job, against which a report is read.
struct EngineJobFacts {
    const std::vector<std::int64_t>* sizes = nullptr;  // remote size per file
    std::size_t filesDone = 0;   // files found whole at their own path
    std::int64_t elapsedMs = 0;  // since the engine first accepted the job
    std::int64_t nowMs = 0;      // the service's monotonic clock
};

// The record for `job` from `report`. `lie` receives what in the report
// did not add up ("" when it all did).
JobProgress MakeEngineProgress(const ProgressReport& report, const CJob& job,
                               const EngineJobFacts& facts, EngineProgressMarks* marks,
                               std::string* lie);
// The record of a job whose every file is whole: both bars full.
JobProgress FinalEngineProgress(const CJob& job, const EngineJobFacts& facts,
                                const EngineProgressMarks& marks);
