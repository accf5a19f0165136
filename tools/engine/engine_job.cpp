#include "engine_job.h"

#include <unistd.h>

#include "clock.h"
#include "engine_log.h"
#include "piece_state.h"
#include "wire_codec.h"

namespace engine {
namespace {

constexpr std::uint8_t kStateDiskFull = 1;
constexpr std::int64_t kReportIntervalMs = 1000;
// A subtype the launcher has no handler for, sent by the bad-frame switch.
constexpr std::uint16_t kUnknownSubtype = 0x7F;

std::string ParentFolder(const std::string& folder) {
    // folder ends with "/"; drop its last segment.
    const std::size_t slash = folder.rfind('/', folder.size() >= 2 ? folder.size() - 2 : 0);
    return slash == std::string::npos ? "/" : folder.substr(0, slash + 1);
}

}  // namespace

EngineJob::EngineJob(const JobContext& context, std::uint32_t engineJob, std::uint8_t mode,
                     JobDescription description)
    : context_(context),
      engineJob_(engineJob),
      maxBytesPerSecond_(mode == kModeConsented ? kConsentedBytesPerSecond
                                                : kDefaultBytesPerSecond),
      peersAllowed_(mode == kModeConsented),
      description_(std::move(description)) {
    for (const DescribedFile& file : description_.files) {
        FilePlace place;
        std::string why;
        if (!PlaceFile(file.folder, file.name, &place, &why) && placeProblem_.empty())
            placeProblem_ = why + ": " + file.folder.substr(0, 200) + " " + file.name.substr(0, 60);
        places_.push_back(place);
    }
}

EngineJob::~EngineJob() {
    if (transfer_ != 0) context_.backend->Cancel(transfer_);
    for (const auto& [id, index] : sizeProbes_) context_.backend->Cancel(id);
}

bool EngineJob::FetchesOnlyLocally() const {
    if (current_ >= description_.files.size()) return true;
    for (const std::string& url : SplitAlternatives(description_.files[current_].url))
        if (!IsLoopbackUrl(url)) return false;
    return true;
}

std::uint64_t EngineJob::TotalBytes() const {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < description_.files.size(); ++i) {
        std::int64_t size = description_.files[i].size;
        if (i < fetchedSizes_.size()) {
            size = fetchedSizes_[i];
        } else if (i == current_ && transfer_ != 0) {
            TransferStatus status;
            if (context_.backend->Status(transfer_, &status)) size = status.size;
        }
        if (size > 0) total += static_cast<std::uint64_t>(size);
    }
    return total;
}

void EngineJob::Begin(std::optional<bool> standingAnswer) {
    const FaultSwitches& faults = *context_.faults;
    const JobRef ref = Ref();
    if (faults.jobFailed) {
        context_.log->Line("Job %u: failing it on purpose (fault switch)", ref.jobKey);
        context_.sink->Send(
            EncodeJobFailed(ref.jobKey, "The download engine failed (fault switch)"));
        state_ = State::kEnded;
        return;
    }
    if (faults.silent) {
        context_.log->Line("Job %u: not answering (fault switch)", ref.jobKey);
        state_ = State::kMute;
        return;
    }
    context_.sink->Send(EncodeJobAccepted(
        ref, static_cast<std::uint32_t>(description_.files.size()), TotalBytes()));
    context_.log->Line("Job %u accepted as %u: %zu files", ref.jobKey, engineJob_,
                       description_.files.size());
    if (!placeProblem_.empty()) return GiveUp(placeProblem_);
    if (faults.fallback) return GiveUp("fault switch");
    if (faults.partialEnd) {
        context_.log->Line("Job %u: ending with 0 files completed (fault switch)", ref.jobKey);
        context_.sink->Send(EncodeJobEnded(ref, 0, false));
        state_ = State::kEnded;
        return;
    }
    if (faults.claimDone) return ClaimDone();
    if (faults.stall) {
        context_.log->Line("Job %u: stalling (fault switch)", ref.jobKey);
        state_ = State::kMute;
        return;
    }
    if (faults.badFrame) {
        SendBadFrames();
        state_ = State::kMute;
        return;
    }
    if (faults.diskFull) {
        context_.log->Line("Job %u: reporting a full disk (fault switch)", ref.jobKey);
        context_.sink->Send(EncodeJobState(ref, kStateDiskFull, "Not enough disk space"));
        state_ = State::kPaused;
        return;
    }
    const bool partial = HasPartialData();
    if (faults.resume || (partial && !standingAnswer)) {
        context_.log->Line("Job %u: asking whether to continue earlier data", ref.jobKey);
        context_.sink->Send(EncodeResumeQuestion(ref.jobKey));
        state_ = State::kAwaitingAnswer;
        return;
    }
    StartRunning(standingAnswer.value_or(true));
}

bool EngineJob::HasPartialData() const {
    for (const FilePlace& place : places_)
        if (RegularFileSize(place.partPath) > 0) return true;
    return false;
}

void EngineJob::Answer(bool continueEarlier) {
    if (state_ != State::kAwaitingAnswer) return;
    context_.log->Line("Job %u: %s", description_.head.jobKey,
                       continueEarlier ? "continuing earlier data" : "starting over");
    StartRunning(continueEarlier);
}

void EngineJob::Cancel() {
    if (transfer_ != 0) context_.backend->Cancel(transfer_);
    transfer_ = 0;
    for (const auto& [id, index] : sizeProbes_) context_.backend->Cancel(id);
    sizeProbes_.clear();
    state_ = State::kEnded;
}

void EngineJob::StartRunning(bool continueEarlier) {
    if (!continueEarlier) {
        for (const FilePlace& place : places_) {
            unlink(place.partPath.c_str());
            RemovePieceState(place.partPath);
        }
    }
    state_ = State::kSizing;
    nextSizeProbe_ = 0;
    ProbeNextSizes();
}

void EngineJob::ProbeNextSizes() {
    while (sizeProbes_.size() < kParallelSizeProbes && nextSizeProbe_ < description_.files.size()) {
        const std::size_t index = nextSizeProbe_++;
        const DescribedFile& file = description_.files[index];
        if (file.size >= 0) continue;
        TransferRequest request;
        request.urls = SplitAlternatives(file.url);
        if (request.urls.empty()) continue;  // the fetch gives the job up
        request.sizeOnly = true;
        sizeProbes_.emplace_back(context_.backend->Start(request, this), index);
    }
    if (sizeProbes_.empty()) BeginTransfers();
}

void EngineJob::BeginTransfers() {
    state_ = State::kRunning;
    startMs_ = MonotonicMs();
    lastReportMs_ = startMs_;
    StartNextFile();
}

void EngineJob::StartNextFile() {
    if (current_ >= description_.files.size()) return Finish();
    const DescribedFile& file = description_.files[current_];
    const FilePlace& place = places_[current_];
    if (!EnsureFolder(place.folder)) return GiveUp("cannot create the folder " + place.folder);
    TransferRequest request;
    request.urls = SplitAlternatives(file.url);
    if (request.urls.empty()) return GiveUp("file " + file.name + " has no address");
    request.partPath = place.partPath;
    request.finalPath = place.localPath;
    request.expectedSize = file.size;
    request.maxBytesPerSecond = maxBytesPerSecond_;
    request.peersAllowed = peersAllowed_;
    context_.log->Line("Job %u: fetching %s at most %lld B/s", description_.head.jobKey,
                       place.localPath.c_str(), static_cast<long long>(maxBytesPerSecond_));
    transfer_ = context_.backend->Start(request, this);
}

void EngineJob::GiveUp(const std::string& why) {
    context_.log->Line("Job %u: handing it back (%s)", description_.head.jobKey, why.c_str());
    if (transfer_ != 0) context_.backend->Cancel(transfer_);
    transfer_ = 0;
    context_.sink->Send(EncodeJobEnded(Ref(), completed_, true));
    state_ = State::kEnded;
}

void EngineJob::Finish() {
    SendProgress(MonotonicMs());
    context_.log->Line("Job %u: all %u files done", description_.head.jobKey, completed_);
    context_.sink->Send(EncodeJobEnded(Ref(), completed_, false));
    state_ = State::kEnded;
}

void EngineJob::ClaimDone() {
    context_.log->Line("Job %u: claiming every file done without fetching (fault switch)",
                       description_.head.jobKey);
    ProgressFigures f;
    f.job = Ref();
    f.fileCount = static_cast<std::uint32_t>(description_.files.size());
    f.filesDone = f.fileCount;
    f.totalBytes = 3000000000ull;
    f.receivedBytes = 2990000000ull;
    f.speed = 0xFFFFFFFFu;
    f.elapsedSeconds = 3600ull * 1000000000000000ull;  // 10^15 hours
    f.serviceKey = description_.head.serviceKey;
    context_.sink->Send(EncodeProgressReport(f));
    for (std::size_t i = 0; i < description_.files.size(); ++i) {
        FetchOutcome outcome;
        outcome.fromServers = 1;
        SendFileDone(places_[i], description_.files[i], outcome);
    }
    context_.sink->Send(EncodeJobEnded(Ref(), static_cast<std::uint32_t>(description_.files.size()),
                                       false));
    state_ = State::kEnded;
}

void EngineJob::SendBadFrames() {
    context_.log->Line("Job %u: sending malformed messages (fault switch)",
                       description_.head.jobKey);
    ByteWriter unknown;
    unknown.U32(description_.head.jobKey);
    unknown.U32(engineJob_);
    context_.sink->Send(EncodeFrame(kEngineMessageType, kUnknownSubtype, unknown.Bytes()));
    // A FileDone that stops after its two numbers.
    context_.sink->Send(EncodeFrame(kEngineMessageType, kFileDone, unknown.Bytes()));
}

void EngineJob::SendFileDone(const FilePlace& place, const DescribedFile& file,
                             const FetchOutcome& outcome) {
    const std::string& key = description_.head.serviceKey;
    FileSources sources;
    sources.fromPeers = outcome.fromPeers;
    sources.fromServers = outcome.fromServers;
    sources.fetched = outcome.fromPeers + outcome.fromServers;
    if (context_.faults->outsidePath) {
        const std::string outside = ParentFolder(place.folder) + file.name;
        context_.log->Line("Job %u: reporting %s as kept at %s (fault switch)",
                           description_.head.jobKey, place.localPath.c_str(), outside.c_str());
        context_.sink->Send(
            EncodeFileDoneAt(Ref(), key, place.localPath, outside, file.url, &sources));
        return;
    }
    context_.sink->Send(EncodeFileDone(Ref(), key, place.localPath, file.url, &sources));
}

void EngineJob::Tick(std::int64_t nowMs) {
    if (state_ != State::kRunning || nowMs - lastReportMs_ < kReportIntervalMs) return;
    SendProgress(nowMs);
    if (context_.faults->network && !networkFaultSent_) {
        networkFaultSent_ = true;
        context_.log->Line("Network lost and back (fault switch)");
        context_.sink->Send(EncodeNetworkLost());
        context_.sink->Send(EncodeNetworkRestored());
    }
}

void EngineJob::SendProgress(std::int64_t nowMs) {
    ProgressFigures f;
    f.job = Ref();
    f.fileCount = static_cast<std::uint32_t>(description_.files.size());
    f.filesDone = completed_;
    f.totalBytes = TotalBytes();
    f.receivedBytes = completedBytes_;
    f.serviceKey = description_.head.serviceKey;
    const std::int64_t interval = nowMs - lastReportMs_;
    const std::uint64_t fresh = freshBytes_ - freshAtLastReport_;
    const std::uint64_t speed =
        interval > 0 ? fresh * 1000 / static_cast<std::uint64_t>(interval) : 0;
    f.speed = static_cast<std::uint32_t>(speed > UINT32_MAX ? UINT32_MAX : speed);
    f.elapsedSeconds = static_cast<std::uint64_t>((nowMs - startMs_) / 1000);
    if (current_ < description_.files.size()) {
        const DescribedFile& file = description_.files[current_];
        TransferStatus status;
        if (transfer_ != 0 && context_.backend->Status(transfer_, &status)) {
            f.fileSize = status.size > 0 ? static_cast<std::uint64_t>(status.size) : 0;
            f.fileReceived = static_cast<std::uint64_t>(status.held);
        } else if (file.size > 0) {
            f.fileSize = static_cast<std::uint64_t>(file.size);
        }
        f.receivedBytes += f.fileReceived;
        f.fileSpeed = f.speed;
        f.fileName = file.name;
    }
    context_.sink->Send(EncodeProgressReport(f));
    lastReportMs_ = nowMs;
    freshAtLastReport_ = freshBytes_;
}

void EngineJob::OnBytes(TransferId id, std::uint64_t count) {
    if (id != transfer_) return;
    freshBytes_ += count;
    if (context_.onBodyBytes) context_.onBodyBytes(count);
}

void EngineJob::OnFetched(TransferId id, const FetchOutcome& outcome) {
    for (auto probe = sizeProbes_.begin(); probe != sizeProbes_.end(); ++probe) {
        if (probe->first != id) continue;
        if (outcome.size >= 0) description_.files[probe->second].size = outcome.size;
        sizeProbes_.erase(probe);
        return ProbeNextSizes();
    }
    if (id != transfer_ || state_ != State::kRunning) return;
    transfer_ = 0;
    const std::int64_t size = outcome.size;
    const bool alreadyThere = outcome.alreadyThere;
    const FilePlace& place = places_[current_];
    context_.log->Line("Job %u: %s complete, %lld bytes%s", description_.head.jobKey,
                       place.localPath.c_str(), static_cast<long long>(size),
                       alreadyThere ? " (already there)" : "");
    fetchedSizes_.push_back(size);
    ++completed_;
    completedBytes_ += size > 0 ? static_cast<std::uint64_t>(size) : 0;
    SendFileDone(place, description_.files[current_], outcome);
    ++current_;
    StartNextFile();
}

void EngineJob::OnFailed(TransferId id, const std::string& reason) {
    for (auto probe = sizeProbes_.begin(); probe != sizeProbes_.end(); ++probe) {
        if (probe->first != id) continue;
        // The size stays unknown; the fetch itself tells whether the file
        // can be had at all.
        context_.log->Line("Job %u: no size for %s (%s)", description_.head.jobKey,
                           description_.files[probe->second].name.c_str(), reason.c_str());
        sizeProbes_.erase(probe);
        return ProbeNextSizes();
    }
    if (id != transfer_) return;
    transfer_ = 0;
    GiveUp(description_.files[current_].name + ": " + reason);
}

void EngineJob::OnDiskFull(TransferId id, const std::string& reason) {
    if (id != transfer_) return;
    transfer_ = 0;
    context_.log->Line("Job %u: paused, disk full (%s)", description_.head.jobKey, reason.c_str());
    context_.sink->Send(EncodeJobState(Ref(), kStateDiskFull, "Not enough disk space"));
    state_ = State::kPaused;
}

}  // namespace engine
