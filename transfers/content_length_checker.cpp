#include "transfers/content_length_checker.h"

#include <limits>

#include "platform/kernel.h"
#include "service/base/status_codes.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"

namespace {

// The service lock as the bandwidth controller holds it; none while the
// network runtime is down (nothing can race the caller then).
cpCMutex* ServiceLock() {
    cpCQoS* qos = cpQoS();
    return qos ? qos->Lock() : nullptr;
}

}  // namespace

CContentLengthChecker::CContentLengthChecker(IContentLengthCheckerEventListener* listener)
    : listener_(listener) {}

CContentLengthChecker::~CContentLengthChecker() {
    cpLockGuard guard(ServiceLock());
    sessions_.clear();
    retired_.clear();
}

int CContentLengthChecker::AddUrl(const char* url) {
    cpLockGuard guard(ServiceLock());
    retired_.clear();
    auto index = static_cast<std::int32_t>(sessions_.size());
    sessions_.push_back(std::make_unique<CContentLengthCheckSession>(this, index, url ? url : ""));
    return kResultOk;
}

void CContentLengthChecker::Start() {
    cpLockGuard guard(ServiceLock());
    retired_.clear();
    ++generation_;
    if (recent_) recent_->Forget();
    for (auto& session : sessions_) session->Reset();
    total_ = 0;
    failure_.clear();
    completed_ = 0;
    next_ = 0;
    running_ = 0;
    if (sessions_.empty()) {
        if (listener_) listener_->OnLengthsKnown();
        return;
    }
    StartMore();
}

void CContentLengthChecker::StartMore() {
    const std::uint64_t generation = generation_;
    while (running_ < kMaxRunning && next_ < sessions_.size()) {
        CContentLengthCheckSession* session = sessions_[next_++].get();
        ++running_;
        session->Probe();
        if (generation != generation_) return;  // the probe failed at once and ended the check
    }
}

void CContentLengthChecker::EndCheck() {
    ++generation_;
    for (auto& session : sessions_) session->Close();
    for (auto& session : sessions_) retired_.push_back(std::move(session));
    sessions_.clear();
    running_ = 0;
    next_ = 0;
}

void CContentLengthChecker::OnLength(std::int32_t index, std::int64_t length) {
    if (recent_ && index >= 0 && static_cast<std::size_t>(index) < sessions_.size())
        recent_->Remember(sessions_[static_cast<std::size_t>(index)]->Url(), length,
                          plat::MonotonicMs());
    // Saturating: servers choose these numbers, and a sum that wraps would
    // show a negative size.
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    total_ = length > kMax - total_ ? kMax : total_ + length;
    --running_;
    ++completed_;
    if (static_cast<std::size_t>(completed_) < sessions_.size()) {
        StartMore();
        return;
    }
    EndCheck();
    if (listener_) listener_->OnLengthsKnown();
}

void CContentLengthChecker::OnProbeFailed(std::int32_t index, const char* url) {
    const auto i = static_cast<std::size_t>(index);
    failure_ = std::string(url ? url : "");
    if (i < sessions_.size() && !sessions_[i]->LastFailure().empty())
        failure_ += ": " + sessions_[i]->LastFailure();
    EndCheck();
    if (listener_) listener_->OnLengthCheckFailed();
}

void CContentLengthChecker::OnProbeUnreachable(std::int32_t index) {
    const auto i = static_cast<std::size_t>(index);
    failure_ = i < sessions_.size() ? sessions_[i]->Url() + ": the host is unreachable" : "";
    EndCheck();
    if (listener_) listener_->OnLengthCheckAborted();
}
