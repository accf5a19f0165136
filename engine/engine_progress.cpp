#include "engine/engine_progress.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "service/base/job.h"

namespace {

std::int32_t PercentOf(std::int64_t part, std::int64_t whole) {
    if (part <= 0 || whole <= 0) return 0;
    // In 128 bits: part * 100 of a value near 2^63 must not wrap.
    const auto percent = static_cast<__int128>(part) * 100 / whole;
    return static_cast<std::int32_t>(std::min<__int128>(percent, 100));
}

std::int64_t ToSigned(std::uint64_t value) {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(
        value, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
}

}  // namespace

void RateRing::Push(std::int64_t stamp, std::int64_t rate) {
    current_ = (current_ + 1) % kSlots;
    samples_[static_cast<std::size_t>(current_)] = Sample{stamp, rate};
}

std::int64_t RateRing::Average() const {
    if (current_ < 0) return 0;
    const std::int64_t newest = samples_[static_cast<std::size_t>(current_)].stamp;
    std::int64_t sum = 0, count = 0;
    // A slot never written since the ring was emptied has stamp 0 and does
    // not count; neither does one older than the window or newer than now.
    for (const Sample& sample : samples_) {
        const std::int64_t age = newest - sample.stamp;
        if (sample.stamp == 0 || age < 0 || age > kWindowSeconds) continue;
        sum += sample.rate;
        ++count;
    }
    return count ? sum / count : 0;
}

JobProgress MakeEngineProgress(const ProgressReport& report, const CJob& job,
                               EngineJobRings* rings) {
    JobProgress progress;
    progress.total = ToSigned(report.totalBytes);
    progress.held = ToSigned(report.receivedBytes);
    progress.fileCount =
        static_cast<std::int32_t>(std::min<std::uint32_t>(report.fileCount, INT32_MAX));
    progress.filesDone =
        static_cast<std::int32_t>(std::min<std::uint32_t>(report.filesDone, INT32_MAX));
    progress.elapsed = ToSigned(report.elapsedSeconds);
    progress.percent = PercentOf(progress.held, progress.total);
    rings->job.Push(progress.elapsed, report.speed);
    const std::int64_t rate = rings->job.Average();
    progress.rate = static_cast<std::int32_t>(std::min<std::int64_t>(rate, INT32_MAX));
    progress.left =
        std::max<std::int64_t>(0, progress.total - progress.held) / std::max<std::int64_t>(rate, 1);
    if (report.hasFirstRecord) {
        progress.currentSize = ToSigned(report.first.size);
        progress.currentHeld = ToSigned(report.first.received);
        progress.currentPercent = PercentOf(progress.currentHeld, progress.currentSize);
        rings->file.Push(progress.elapsed, report.first.speed);
        progress.currentRate = rings->file.Average();
        progress.currentLeft =
            std::max<std::int64_t>(0, progress.currentSize - progress.currentHeld) /
            std::max<std::int64_t>(progress.currentRate, 1);
    }
    const auto files = static_cast<std::int32_t>(job.FileCount());
    progress.currentIndex = std::clamp(progress.filesDone, 0, std::max(files - 1, 0));
    if (files > 0) {
        const std::string& name =
            job.Files()[static_cast<std::size_t>(progress.currentIndex)]->localName;
        const std::size_t n = std::min<std::size_t>(name.size(), sizeof progress.currentName - 1);
        std::memcpy(progress.currentName, name.data(), n);
        progress.currentName[n] = '\0';
    }
    return progress;
}
