#include "transfers/job_downloader.h"

#include <algorithm>

#include "service/base/job.h"
#include "service/base/service_log.h"
#include "service/base/status_codes.h"
#include "transport/cp_mutex.h"
#include "transport/cp_timer.h"

namespace {
constexpr std::uint32_t kTickMs = 1000;
}

CJobDownloader::CJobDownloader(IJobDownloadEventListener* listener, cpCMutex* serviceLock)
    : listener_(listener), serviceLock_(serviceLock) {}

CJobDownloader::~CJobDownloader() {
    if (tickTimer_) {
        (void)tickTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
        tickTimer_.Reset();
    }
}

ServiceResult CJobDownloader::OnResumeAnswer(CJob*, std::int32_t, std::int32_t) {
    return kResultOk;
}

bool CJobDownloader::Holds(const CJob* job) const {
    return std::find(held_.begin(), held_.end(), job) != held_.end();
}

ServiceResult CJobDownloader::AttachJob(CJob* job) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    if (Holds(job)) return kResultAlreadyAttached;
    offline_ = 0;
    job->SetState(kJobRunning);
    held_.push_back(job);
    if (!tickTimer_ && tickTimer_.CreateInstance(kClassTimer))
        (void)tickTimer_.As<cpCTimer>()->Start(
            kTickMs, &CJobDownloader::OnTickTimer, this, kTimerIdNone,
            nullptr);  // a timer that cannot start only never fires
    return Begin(job);
}

bool CJobDownloader::ReleaseJob(CJob* job) {
    auto it = std::find(held_.begin(), held_.end(), job);
    if (it == held_.end()) return false;
    held_.erase(it);
    return true;
}

void CJobDownloader::StopTickIfIdle() {
    if (held_.empty() && tickTimer_) {
        (void)tickTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
        tickTimer_.Reset();
    }
}

ServiceResult CJobDownloader::DetachJob(CJob* job) {
    CP_ASSERT_SERVICE_LOCK_HELD();
    if (!ReleaseJob(job)) return kResultNotAttached;
    job->SetState(kJobIdle);
    StopTickIfIdle();
    End(job);
    return kResultOk;
}

ServiceResult CJobDownloader::AnswerResume(CJob* job, std::int32_t first, std::int32_t second) {
    if (!Holds(job)) return kResultNotAttached;
    // The answer has been handed on; what the strategy makes of it is its own.
    (void)OnResumeAnswer(job, first, second);
    return kResultOk;
}

void CJobDownloader::NotifyJobStart(CJob* job, std::int32_t fileCount, std::int64_t totalSize) {
    if (Holds(job)) job->NotifyStart(fileCount, totalSize);
}

void CJobDownloader::NotifyJobFileCompleted(CJob* job, const std::string& path,
                                            const char* alternateText, const std::string& url) {
    if (Holds(job)) job->NotifyFileCompleted(path, alternateText, url);
}

void CJobDownloader::NotifyJobMessage(CJob* job, std::int32_t code, const char* text) {
    if (Holds(job)) job->AddMessage(code, text);
}

void CJobDownloader::NotifyJobProgress(CJob* job, const JobProgress& progress) {
    if (Holds(job)) job->SetProgress(progress);
}

void CJobDownloader::NotifyNetworkDown() {
    for (CJob* job : held_) {
        offline_ = 1;
        job->AddMessage(kReasonNetworkDown, nullptr);
    }
}

void CJobDownloader::OnTickTimer(void* self) {
    static_cast<CJobDownloader*>(self)->Tick();
}

void CJobDownloader::Tick() {
    CP_ASSERT_SERVICE_LOCK_HELD();
    // CheckJob may let jobs go, so walk a snapshot and skip what left.
    std::vector<CJob*> snapshot = held_;
    for (CJob* job : snapshot) {
        if (!Holds(job)) continue;
        CheckJob(job);
        if (Holds(job) && job->State() == kJobRunning && job->Progress().held != 0)
            job->PostEvent(kEventJobProgress);
    }
}
