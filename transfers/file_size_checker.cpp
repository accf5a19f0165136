#include "transfers/file_size_checker.h"

CPlatformFileSizeChecker::CPlatformFileSizeChecker(ICheckerEventListener* listener, void* context)
    : listener_(listener), context_(context) {}

CPlatformFileSizeChecker::~CPlatformFileSizeChecker() {
    for (auto& session : running_) session->SetListener(nullptr);
    running_.clear();
}

void CPlatformFileSizeChecker::Check(const std::vector<std::unique_ptr<JobFileEntry>>& files) {
    knownTotals_ = SizeTotals{};
    known_.clear();
    for (const auto& file : files) {
        if (file->remoteSize != -1) {
            knownTotals_.totalSize += file->remoteSize;
            knownTotals_.writtenBefore += file->bytesWritten;
            ++knownTotals_.fileCount;
            known_.emplace_back(file->index, file->remoteSize);
        } else {
            probes_.push_back(std::make_unique<JobFileEntry>(*file));
        }
    }
    if (!probes_.empty()) {
        ProbeNext();
    } else if (listener_) {
        listener_->OnSizeCheckCompleted(context_, knownTotals_);
    }
}

void CPlatformFileSizeChecker::ProbeNext() {
    while (next_ < probes_.size() && running_.size() < kParallelProbes) {
        running_.push_back(
            std::make_unique<CPlatformFileSizeCheckSession>(this, probes_[next_].get()));
        CPlatformFileSizeCheckSession* session = running_.back().get();
        ++next_;
        session->SetUrls(session->Entry()->url);
        // A probe that fails at once reports through OnProbeFailed, after
        // which this checker may be gone.
        ICheckerEventListener* before = listener_;
        session->Probe();
        if (listener_ != before) return;
    }
    if (finished_ == probes_.size() && listener_) {
        SizeTotals totals = knownTotals_;
        for (const auto& probe : probes_) {
            totals.totalSize += probe->remoteSize;
            totals.writtenBefore += probe->bytesWritten;
        }
        totals.fileCount += static_cast<std::int32_t>(probes_.size());
        listener_->OnSizeCheckCompleted(context_, totals);
    }
}

void CPlatformFileSizeChecker::OnProbeDone(CPlatformFileSizeCheckSession* session) {
    for (auto it = running_.begin(); it != running_.end(); ++it) {
        if (it->get() == session) {
            running_.erase(it);
            break;
        }
    }
    ++finished_;
    ProbeNext();
}

void CPlatformFileSizeChecker::OnProbeFailed(CPlatformFileSizeCheckSession*, int code,
                                             const std::string& text) {
    // The remaining probes are not started; the downloader discards the checker.
    next_ = probes_.size();
    if (listener_) listener_->OnSizeCheckFailed(context_, code, text);
}

std::int64_t CPlatformFileSizeChecker::RemoteSizeOf(std::int32_t index) const {
    for (const auto& [i, size] : known_)
        if (i == index) return size;
    for (const auto& probe : probes_)
        if (probe->index == index) return probe->remoteSize;
    return -1;
}
