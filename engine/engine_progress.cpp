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

std::int64_t SumOf(const std::vector<std::int64_t>& sizes, std::size_t count) {
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < count && i < sizes.size(); ++i) sum += std::max<std::int64_t>(0, sizes[i]);
    return sum;
}

void SetName(const CJob& job, std::int32_t index, JobProgress* progress) {
    if (index < 0 || static_cast<std::size_t>(index) >= job.FileCount()) return;
    const std::string& name = job.Files()[static_cast<std::size_t>(index)]->localName;
    const std::size_t n = std::min<std::size_t>(name.size(), sizeof progress->currentName - 1);
    std::memcpy(progress->currentName, name.data(), n);
    progress->currentName[n] = '\0';
}

// Stamps of the rate ring: whole seconds of the monotonic clock, never 0.
std::int64_t Stamp(std::int64_t nowMs) {
    return nowMs / 1000 + 1;
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
                               const EngineJobFacts& facts, EngineProgressMarks* marks,
                               std::string* lie) {
    lie->clear();
    const std::vector<std::int64_t>& sizes = *facts.sizes;
    const auto files = static_cast<std::int32_t>(job.FileCount());
    JobProgress progress;
    progress.fileCount = files;
    progress.total = SumOf(sizes, sizes.size());
    const std::int64_t reported = ToSigned(report.receivedBytes);
    if (report.totalBytes != 0 && ToSigned(report.totalBytes) != progress.total)
        *lie = "total " + std::to_string(report.totalBytes) + " for " +
               std::to_string(progress.total);
    if (reported > progress.total)
        *lie = "held " + std::to_string(report.receivedBytes) + " of " +
               std::to_string(progress.total);
    if (report.filesDone > static_cast<std::uint32_t>(files))
        *lie = std::to_string(report.filesDone) + " of " + std::to_string(files) + " files done";
    const std::int64_t held = std::clamp<std::int64_t>(reported, 0, progress.total);

    // The rate: what the held bytes grew by on the service's clock.
    if (marks->sampleHeld >= 0 && facts.nowMs > marks->sampleAtMs) {
        const std::int64_t grown = std::max<std::int64_t>(0, held - marks->sampleHeld);
        marks->rates.Push(Stamp(facts.nowMs), grown * 1000 / (facts.nowMs - marks->sampleAtMs));
    }
    marks->sampleHeld = held;
    marks->sampleAtMs = facts.nowMs;
    const std::int64_t rate = marks->rates.Average();

    marks->shownHeld = std::max(marks->shownHeld, held);
    progress.held = marks->shownHeld;
    marks->shownPercent = std::max(marks->shownPercent, PercentOf(progress.held, progress.total));
    progress.percent = marks->shownPercent;
    progress.filesDone = static_cast<std::int32_t>(std::min<std::size_t>(facts.filesDone, files));
    progress.elapsed = std::max<std::int64_t>(0, facts.elapsedMs) / 1000;
    progress.rate = static_cast<std::int32_t>(std::min<std::int64_t>(rate, INT32_MAX));
    progress.left = (progress.total - progress.held) / std::max<std::int64_t>(rate, 1);

    // The current file: the first not yet found whole. Files are fetched in
    // order, so what is held beyond the whole ones belongs to it.
    progress.currentIndex = std::clamp(progress.filesDone, 0, std::max(files - 1, 0));
    if (files > 0) {
        const auto index = static_cast<std::size_t>(progress.currentIndex);
        progress.currentSize = index < sizes.size() ? std::max<std::int64_t>(0, sizes[index]) : 0;
        const bool whole = progress.filesDone > progress.currentIndex;
        progress.currentHeld =
            whole ? progress.currentSize
                  : std::clamp<std::int64_t>(progress.held - SumOf(sizes, index), 0,
                                             progress.currentSize);
        std::int32_t percent = whole ? 100 : PercentOf(progress.currentHeld, progress.currentSize);
        if (marks->shownIndex == progress.currentIndex)
            percent = std::max(percent, marks->shownCurrentPercent);
        marks->shownIndex = progress.currentIndex;
        marks->shownCurrentPercent = percent;
        progress.currentPercent = percent;
        progress.currentRate = rate;
        progress.currentLeft =
            (progress.currentSize - progress.currentHeld) / std::max<std::int64_t>(rate, 1);
        SetName(job, progress.currentIndex, &progress);
    }
    return progress;
}

JobProgress FinalEngineProgress(const CJob& job, const EngineJobFacts& facts,
                                const EngineProgressMarks& marks) {
    const std::vector<std::int64_t>& sizes = *facts.sizes;
    const auto files = static_cast<std::int32_t>(job.FileCount());
    JobProgress progress;
    progress.fileCount = files;
    progress.filesDone = files;
    progress.total = SumOf(sizes, sizes.size());
    progress.held = progress.total;
    progress.percent = 100;
    progress.elapsed = std::max<std::int64_t>(0, facts.elapsedMs) / 1000;
    progress.rate = static_cast<std::int32_t>(std::min<std::int64_t>(marks.rates.Average(), INT32_MAX));
    if (files > 0) {
        progress.currentIndex = files - 1;
        const auto last = static_cast<std::size_t>(files - 1);
        progress.currentSize = last < sizes.size() ? std::max<std::int64_t>(0, sizes[last]) : 0;
        progress.currentHeld = progress.currentSize;
        progress.currentPercent = 100;
        progress.currentRate = progress.rate;
        SetName(job, progress.currentIndex, &progress);
    }
    return progress;
}
