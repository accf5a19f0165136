#include "transfers/platform_downloader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/connectivity.h"
#include "platform/kernel.h"
#include "service/base/job.h"
#include "service/base/service_log.h"
#include "service/base/status_codes.h"
#include "transfers/platform_reporter.h"
#include "transfers/result_record.h"
#include "transport/cp_mutex.h"

namespace {
constexpr std::size_t kMaxCurrentName = 65;

// The user answered "start over" to the resume question (or --resume=no).
bool StartsOver(const CJob* job) {
    std::optional<bool> answer = job->ResumeAnswer();
    return answer.has_value() && !*answer;
}
}  // namespace

CPlatFormDownloader::CPlatFormDownloader(IJobDownloadEventListener* listener, cpCMutex* serviceLock)
    : CJobDownloader(listener, serviceLock), reporter_(std::make_unique<CPlatformReporter>()) {}

CPlatFormDownloader::~CPlatFormDownloader() {
    cpLockGuard guard(ServiceLock());
    for (auto& context : contexts_) {
        if (context->checker) context->checker->DetachListener();
        if (context->session) context->session->DetachListener();
    }
    contexts_.clear();
    retired_.clear();
    reporter_.reset();
    WriteServiceLog("[OstrelLib] CPlatFormDownloader Destroy");
}

CPlatFormDownloader::JobContext* CPlatFormDownloader::FindContext(const CJob* job) const {
    for (const auto& context : contexts_)
        if (context->job == job) return context.get();
    return nullptr;
}

const CPlatFormDownloader::JobContext* CPlatFormDownloader::ContextOf(const CJob* job) const {
    return FindContext(job);
}

ServiceResult CPlatFormDownloader::Begin(CJob* job) {
    if (FindContext(job)) return kResultFailed;
    cpLockGuard guard(ServiceLock());
    DeleteRetired();
    WriteServiceLog("[OstrelLib] CPlatFormDownloader Begin");
    auto context = std::make_unique<JobContext>();
    context->job = job;
    JobContext* raw = context.get();
    contexts_.push_back(std::move(context));
    StartSizeCheck(raw);
    return kResultOk;
}

void CPlatFormDownloader::End(CJob* job) {
    cpLockGuard guard(ServiceLock());
    DeleteRetired();
    if (JobContext* context = FindContext(job)) {
        ReportResults(context);
        DestroyContext(context);
    }
}

void CPlatFormDownloader::StartSizeCheck(JobContext* context) {
    if (context->checker) context->checker->DetachListener();
    context->checker = std::make_unique<CPlatformFileSizeChecker>(this, context);
    context->checker->Check(context->job->Files(), !StartsOver(context->job), recent_);
}

void CPlatFormDownloader::StartSession(JobContext* context) {
    if (context->session) context->session->DetachListener();
    context->session = std::make_unique<CPlatformSession>(this, context);
    context->session->SetSpeedFlag(context->job->SpeedFlag());
    context->session->SetStartOver(StartsOver(context->job));
    CPlatformFileSizeChecker* checker = context->checker.get();
    context->session->Begin(context->job->Files(), [checker](std::int32_t index) {
        return checker ? checker->RemoteSizeOf(index) : -1;
    });
}

void CPlatFormDownloader::OnSizeCheckCompleted(void* value, const SizeTotals& totals) {
    auto* context = static_cast<JobContext*>(value);
    WriteServiceLog("[OstrelLib] CPlatFormDownloader FileSizeCheck Completed");
    NotifyJobStart(context->job, totals.fileCount, totals.totalSize);
    // The totals go in before the session starts: a session with nothing to
    // fetch completes, and retires this context, inside StartSession.
    context->totals = totals;
    context->startTime = plat::CalendarSeconds();
    StartSession(context);
}

void CPlatFormDownloader::OnSizeCheckFailed(void* value, int code, const std::string& text) {
    auto* context = static_cast<JobContext*>(value);
    CJob* job = context->job;
    DestroyContext(context);
    // The job is let go: idle again, so it can be started anew, and the tick
    // stops when nothing else is held.
    if (ReleaseJob(job)) {
        job->SetState(kJobIdle);
        StopTickIfIdle();
        job->AddMessage(code, text.c_str());
    }
}

void CPlatFormDownloader::OnSessionComplete(void* value) {
    auto* context = static_cast<JobContext*>(value);
    std::int32_t completed = context->session ? context->filesCompleted : 0;
    ReportResults(context);
    UpdateProgress(context);
    CJob* job = context->job;
    bool held = ReleaseJob(job);
    if (held) {
        job->NotifyCompleted(completed);
        StopTickIfIdle();
    }
    DestroyContext(context);
}

void CPlatFormDownloader::OnSessionFailed(void* value, const std::string& text) {
    NotifyJobMessage(static_cast<JobContext*>(value)->job, kReasonDownloadFailed, text.c_str());
}

void CPlatFormDownloader::OnFileCompleted(void* value, const SessionFile& file) {
    auto* context = static_cast<JobContext*>(value);
    ++context->filesCompleted;
    NotifyJobFileCompleted(context->job, file.entry.FullPath(), nullptr, file.entry.url);
}

void CPlatFormDownloader::OnProgress(void* value) {
    UpdateProgress(static_cast<JobContext*>(value));
}

void CPlatFormDownloader::OnFileOpened(const std::string&, void*) {}

void CPlatFormDownloader::OnError(void* value, int code, const std::string& text) {
    NotifyJobMessage(static_cast<JobContext*>(value)->job, code, text.c_str());
}

void CPlatFormDownloader::UpdateProgress(JobContext* context) {
    JobProgress progress;
    CPlatformSession* session = context->session.get();
    progress.total = context->totals.totalSize;
    progress.fileCount = context->totals.fileCount;
    progress.filesDone = context->filesCompleted;
    progress.held = session ? session->RunningTotal() : 0;
    if (progress.held > 0 && progress.total > 0)
        progress.percent = static_cast<std::int32_t>(progress.held * 100 / progress.total);
    std::int64_t elapsed = std::max<std::int64_t>(0, plat::CalendarSeconds() - context->startTime);
    progress.elapsed = elapsed;
    // The rate counts what this run moved, not what was on disk before it.
    const std::int64_t moved = session ? session->RunWritten() : 0;
    std::int64_t rate = elapsed > 0 ? moved / elapsed : 0;
    progress.rate = static_cast<std::int32_t>(std::min<std::int64_t>(rate, INT32_MAX));
    progress.left =
        std::max<std::int64_t>(0, progress.total - progress.held) / (rate > 0 ? rate : 1);
    if (const SessionFile* file = session ? session->CurrentFile() : nullptr) {
        progress.currentIndex = file->entry.index;
        progress.currentSize = file->entry.remoteSize;
        progress.currentHeld = file->entry.bytesOnDisk + file->entry.bytesWritten;
        progress.currentRate = rate;
        progress.currentLeft = progress.left;
        if (progress.currentHeld > 0 && progress.currentSize > 0)
            progress.currentPercent =
                static_cast<std::int32_t>(progress.currentHeld * 100 / progress.currentSize);
        std::size_t n = std::min(file->entry.localName.size(), kMaxCurrentName);
        std::memcpy(progress.currentName, file->entry.localName.data(), n);
        progress.currentName[n] = '\0';
    }
    NotifyJobProgress(context->job, progress);
}

void CPlatFormDownloader::ReportResults(JobContext* context) {
    if (!context->session || !reporter_) return;
    std::vector<ResultRecord> records;
    for (const SessionFile& file : context->session->Files()) {
        if (file.runWritten > 0)
            records.push_back(
                ResultRecord::Make(file.entry.serviceKey, file.entry.url, file.runWritten));
    }
    if (!records.empty())
        reporter_->Report(static_cast<std::int32_t>(records.size()), records.data());
}

void CPlatFormDownloader::DestroyContext(JobContext* context) {
    for (auto it = contexts_.begin(); it != contexts_.end(); ++it) {
        if (it->get() != context) continue;
        if (context->checker) context->checker->DetachListener();
        if (context->session) context->session->Stop();
        retired_.push_back(std::move(*it));
        contexts_.erase(it);
        return;
    }
}

void CPlatFormDownloader::DeleteRetired() {
    retired_.clear();
}

void CPlatFormDownloader::ReportResults(const std::vector<ResultRecord>& records) {
    if (reporter_ && !records.empty())
        reporter_->Report(static_cast<std::int32_t>(records.size()), records.data());
}

bool CPlatFormDownloader::ReportsPending() {
    return reporter_ && reporter_->Pending();
}

void CPlatFormDownloader::CheckJob(CJob* job) {
    DeleteRetired();
    bool up = plat::IsNetworkUp();
    if (!up && !Offline()) {
        NotifyNetworkDown();
    } else if (up && Offline()) {
        SetOffline(false);
        NotifyJobMessage(job, kReasonNetworkBack, nullptr);
    }
}
