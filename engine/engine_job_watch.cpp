#include "engine/engine_job_watch.h"

#include <algorithm>

#include "platform/file_handle.h"
#include "service/base/job.h"
#include "transfers/file_size_checker.h"
#include "transfers/part_file.h"

EngineJobWatch::EngineJobWatch(CJob* watched, std::int64_t nowMs)
    : job(watched), attachedAtMs(nowMs) {}

EngineJobWatch::~EngineJobWatch() = default;

void EngineJobWatch::TakeSizes(std::vector<std::int64_t> knownSizes) {
    sizes = std::move(knownSizes);
    const std::size_t count = job->FileCount();
    sizes.resize(count, -1);
    heldBefore.assign(count, 0);
    verified.assign(count, false);
    told.assign(count, false);
    took.assign(count, -1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string path = job->Files()[i]->FullPath();
        const std::int64_t whole = plat::OwnFileLength(path);
        if (whole >= 0 && whole == sizes[i]) {
            heldBefore[i] = whole;
            continue;
        }
        heldBefore[i] = std::max<std::int64_t>(0, plat::OwnFileLength(path + kPartSuffix));
    }
    sizesKnown = true;
}

bool EngineJobWatch::CheckFile(std::size_t index, std::string* why) {
    if (index >= verified.size()) return false;
    const std::string path = job->Files()[index]->FullPath();
    const std::int64_t length = plat::OwnFileLength(path);
    const std::int64_t size = sizes[index];
    verified[index] = length >= 0 && length == size;
    if (!verified[index] && why) {
        *why = length < 0 ? path + " is missing (or not a plain file)"
                          : path + " holds " + std::to_string(length) + " of " +
                                std::to_string(size) + " bytes";
    }
    return verified[index];
}

std::size_t EngineJobWatch::MissingFiles(std::string* firstWhy) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < verified.size(); ++i) {
        std::string why;
        if (CheckFile(i, &why)) continue;
        if (missing++ == 0 && firstWhy) *firstWhy = why;
    }
    return missing;
}

std::int64_t EngineJobWatch::TotalSize() const {
    std::int64_t total = 0;
    for (std::int64_t size : sizes) total += std::max<std::int64_t>(0, size);
    return total;
}

std::size_t EngineJobWatch::VerifiedCount() const {
    return static_cast<std::size_t>(std::count(verified.begin(), verified.end(), true));
}

void EngineJobWatch::NoteFileBytes(std::size_t index, const FileBytes& bytes) {
    if (index >= took.size()) return;
    // Never more than the file itself, whatever the engine claims.
    const auto cap = static_cast<std::uint64_t>(std::max<std::int64_t>(0, sizes[index]));
    took[index] = static_cast<std::int64_t>(std::min(bytes.fetched, cap));
    fromPeers += std::min(bytes.fromPeers, cap);
    fromServers += std::min(bytes.fromServers, cap);
    sourcesKnown = true;
}

std::vector<ResultRecord> EngineJobWatch::Results(bool withPartialFiles) const {
    std::vector<ResultRecord> records;
    for (std::size_t i = 0; i < verified.size(); ++i) {
        std::int64_t bytes = 0;
        if (verified[i]) {
            bytes = took[i] >= 0 ? took[i] : sizes[i] - heldBefore[i];
        } else if (withPartialFiles) {
            const std::string part = job->Files()[i]->FullPath() + kPartSuffix;
            bytes = plat::OwnFileLength(part) - heldBefore[i];
        }
        const JobFileEntry& file = *job->Files()[i];
        if (bytes > 0) records.push_back(ResultRecord::Make(file.serviceKey, file.url, bytes));
    }
    return records;
}

std::string EngineJobWatch::SourcesText() const {
    if (!sourcesKnown) return "the engine did not say from where";
    return std::to_string(fromPeers) + " bytes from peers, " + std::to_string(fromServers) +
           " from file servers";
}
