#include "transfers/file_size_checker.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "platform/file_handle.h"
#include "platform/kernel.h"
#include "service/base/service_log.h"
#include "service/base/status_codes.h"
#include "transfers/part_file.h"

CPlatformFileSizeChecker::CPlatformFileSizeChecker(ICheckerEventListener* listener, void* context)
    : pool_(this, ExchangeRole::kSizeProbe), listener_(listener), context_(context) {}

CPlatformFileSizeChecker::~CPlatformFileSizeChecker() {
    pool_.DetachListener();
    pool_.Clear();
}

void CPlatformFileSizeChecker::Check(const std::vector<std::unique_ptr<JobFileEntry>>& files,
                                     bool keepOnDisk, const CRecentRemoteSizes* recent) {
    keepOnDisk_ = keepOnDisk;
    knownTotals_ = SizeTotals{};
    known_.clear();
    placements_.clear();
    const std::int64_t now = recent ? plat::MonotonicMs() : 0;
    std::int32_t recalled = 0;
    for (const auto& file : files) {
        std::int64_t size = file->remoteSize;
        if (size == -1 && recent) {
            size = recent->Recall(file->url, now);
            if (size != -1) ++recalled;
        }
        placements_.push_back({file->folder, file->folder + file->localName, size});
        if (size != -1) {
            knownTotals_.totalSize += size;
            knownTotals_.writtenBefore += file->bytesWritten;
            ++knownTotals_.fileCount;
            known_.emplace_back(file->index, size);
        } else {
            probes_.push_back(std::make_unique<JobFileEntry>(*file));
            (void)pool_.Add(file->url);  // its slot is its place in probes_
        }
    }
    if (recalled > 0)
        WriteServiceLogFormat("[OstrelLib] Sizes of %d files known from the file list's sum",
                              recalled);
    if (!probes_.empty()) {
        // A probe that fails at once reports from inside Run, after which
        // this checker may be gone.
        pool_.Run();
    } else {
        Finish(knownTotals_);
    }
}

void CPlatformFileSizeChecker::Finish(const SizeTotals& totals) {
    if (!listener_) return;
    std::string shortage = SpaceShortage();
    if (!shortage.empty()) {
        WriteServiceLogFormat("[OstrelLib] Not enough disk space : %s", shortage.c_str());
        listener_->OnSizeCheckFailed(context_, kResultBadUrl, shortage);  // 513
        return;
    }
    listener_->OnSizeCheckCompleted(context_, totals);
}

std::string CPlatformFileSizeChecker::SpaceShortage() const {
    struct Need {
        std::string folder;
        std::int64_t bytes = 0;
    };
    std::map<std::uint64_t, Need> needs;  // by file system
    // Placements come folder by folder: one file system question each.
    std::string lastFolder;
    std::uint64_t lastFileSystem = 0;
    // What the probes found, by path: a job of thousands of files must not
    // compare every placement with every probe.
    std::unordered_map<std::string, std::int64_t> probed;
    probed.reserve(probes_.size());
    for (const auto& probe : probes_)
        probed.emplace(probe->folder + probe->localName, probe->remoteSize);
    for (const Placement& placement : placements_) {
        std::int64_t size = placement.size;
        if (size == -1) {
            auto found = probed.find(placement.path);
            if (found != probed.end()) size = found->second;
        }
        if (size <= 0) continue;
        // What is on disk stays (the transfer continues it) unless the job
        // starts every file over.
        const std::int64_t onDisk = keepOnDisk_ ? KeptBytesOf(placement.path) : 0;
        if (lastFolder.empty() || placement.folder != lastFolder) {
            lastFolder = placement.folder;
            lastFileSystem = plat::FileSystemId(placement.folder);
        }
        Need& need = needs[lastFileSystem];
        if (need.folder.empty()) need.folder = placement.folder;
        need.bytes += std::max<std::int64_t>(0, size - onDisk);
    }
    for (const auto& [id, need] : needs) {
        // A free-space query that fails counts as no space at all.
        const std::int64_t freeBytes = std::max<std::int64_t>(0, plat::FreeDiskBytes(need.folder));
        if (need.bytes > freeBytes)
            return need.folder + " needs " + std::to_string(need.bytes) + " more bytes, " +
                   std::to_string(freeBytes) + " are free";
    }
    return {};
}

void CPlatformFileSizeChecker::OnSizeFound(std::size_t slot, std::int64_t size, bool) {
    probes_.at(slot)->remoteSize = size;
    if (++finished_ < probes_.size() || !listener_) return;
    SizeTotals totals = knownTotals_;
    for (const auto& probe : probes_) {
        totals.totalSize += probe->remoteSize;
        totals.writtenBefore += probe->bytesWritten;
    }
    totals.fileCount += static_cast<std::int32_t>(probes_.size());
    Finish(totals);
}

void CPlatformFileSizeChecker::OnSizeFailed(std::size_t slot, const ExchangeFailure& failure) {
    const std::string& url = probes_.at(slot)->url;
    WriteServiceLogFormat("[OstrelLib] Size probe failed : %s (%s)", url.c_str(),
                          failure.reason.c_str());
    // The text names the file and why: it becomes the job's message. The
    // downloader discards the checker.
    std::string text = url;
    if (!failure.reason.empty()) text += ": " + failure.reason;
    if (listener_) listener_->OnSizeCheckFailed(context_, kResultFailed, text);
}

std::int64_t CPlatformFileSizeChecker::RemoteSizeOf(std::int32_t index) const {
    // Both lists were filled in file order, so by rising index: the session
    // asks once per file, and a job may have thousands.
    auto known =
        std::lower_bound(known_.begin(), known_.end(), index,
                         [](const auto& entry, std::int32_t i) { return entry.first < i; });
    if (known != known_.end() && known->first == index) return known->second;
    auto probe =
        std::lower_bound(probes_.begin(), probes_.end(), index,
                         [](const auto& entry, std::int32_t i) { return entry->index < i; });
    if (probe != probes_.end() && (*probe)->index == index) return (*probe)->remoteSize;
    return -1;
}
