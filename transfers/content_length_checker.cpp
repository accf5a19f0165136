#include "transfers/content_length_checker.h"

#include <limits>

#include "platform/kernel.h"
#include "service/base/service_log.h"
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
    : pool_(this, ExchangeRole::kSum), listener_(listener) {}

CContentLengthChecker::~CContentLengthChecker() {
    cpLockGuard guard(ServiceLock());
    pool_.DetachListener();
    pool_.Clear();
}

int CContentLengthChecker::AddUrl(const char* url) {
    cpLockGuard guard(ServiceLock());
    (void)pool_.Add(url ? url : "");  // the slot is the URL's index
    return kResultOk;
}

void CContentLengthChecker::Start() {
    cpLockGuard guard(ServiceLock());
    if (recent_) recent_->Forget();
    total_ = 0;
    failure_.clear();
    completed_ = 0;
    if (pool_.Count() == 0) {
        if (listener_) listener_->OnLengthsKnown();
        return;
    }
    pool_.Run();
}

void CContentLengthChecker::OnSizeFound(std::size_t slot, std::int64_t size, bool announced) {
    if (recent_ && announced) recent_->Remember(pool_.AnsweredBy(slot), size, plat::MonotonicMs());
    // Saturating: servers choose these numbers, and a sum that wraps would
    // show a negative size.
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    total_ = size > kMax - total_ ? kMax : total_ + size;
    ++completed_;
    if (static_cast<std::size_t>(completed_) < pool_.Count()) return;
    // The URLs are forgotten: the next check adds them again.
    pool_.Clear();
    if (listener_) listener_->OnLengthsKnown();
}

void CContentLengthChecker::OnSizeFailed(std::size_t slot, const ExchangeFailure& failure) {
    const std::string field = pool_.Field(slot);
    WriteServiceLogFormat("[OstrelLib] Size check failed : %s (%s)", field.c_str(),
                          failure.reason.c_str());
    const bool unreachable = failure.outcome == HttpOutcome::kUnreachable;
    failure_ = (unreachable ? failure.url : field) + ": " + failure.reason;
    pool_.Clear();
    if (!listener_) return;
    if (unreachable)
        listener_->OnLengthCheckAborted();
    else
        listener_->OnLengthCheckFailed();
}
