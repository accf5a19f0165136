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
    if (context->session) {
        context->session->Stop();
        retiredSessions_.push_back(std::move(context->session));
    }
    context->session = std::make_unique<CPlatformSession>(this, context);
    context->session->SetSpeedFlag(context->job->SpeedFlag());
    context->session->SetStartOver(StartsOver(context->job));
    context->sessionStartTime = plat::CalendarSeconds();
    CPlatformFileSizeChecker* checker = context->checker.get();
    auto remoteSize = [checker](std::int32_t index) {
        return checker ? checker->RemoteSizeOf(index) : -1;
    };
    // A later session continues the files that are not whole yet; the
    // whole ones count as held.
    std::vector<std::unique_ptr<JobFileEntry>> left;
    context->carriedBytes = 0;
    for (const auto& file : context->job->Files()) {
        if (file->state == 2) {
            context->carriedBytes += std::max<std::int64_t>(0, remoteSize(file->index));
            continue;
        }
        left.push_back(std::make_unique<JobFileEntry>(*file));
    }
    const std::set<std::int32_t>& replaced = context->replaced;
    context->session->Begin(left, remoteSize,
                            [&replaced](std::int32_t index) { return replaced.count(index) > 0; });
}

void CPlatFormDownloader::WaitToRetry(JobContext* context, const std::string& why) {
    const std::int64_t waitMs = context->backoff.NextWaitMs();
    if (waitMs == 0) {
        FailJob(context, kReasonDownloadFailed, why);
        return;
    }
    CJob* job = context->job;
    job->SetState(kJobWaiting);
    context->retryAtMs = plat::MonotonicMs() + waitMs;
    WriteServiceLogFormat("[OstrelLib] Job %d waits %lld s to try again : %s", job->Id(),
                          static_cast<long long>(waitMs / 1000), why.c_str());
    NotifyJobMessage(job, kReasonRetryWaiting, MakeRetryText(waitMs / 1000, why).c_str());
}

void CPlatFormDownloader::Retry(JobContext* context) {
    context->retryAtMs = -1;
    CJob* job = context->job;
    job->SetState(kJobRunning);
    WriteServiceLogFormat("[OstrelLib] Job %d tries again", job->Id());
    NotifyJobMessage(job, kReasonRetrying, nullptr);
    StartSession(context);
}

void CPlatFormDownloader::FailJob(JobContext* context, int code, const std::string& text) {
    // The job is let go: idle again, so it can be started anew, and the tick
    // stops when nothing else is held.
    CJob* job = context->job;
    ReportResults(context);
    DestroyContext(context);
    if (ReleaseJob(job)) {
        job->SetState(kJobIdle);
        StopTickIfIdle();
        job->AddMessage(code, text.c_str());
    }
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
    FailJob(static_cast<JobContext*>(value), code, text);
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

void CPlatFormDownloader::OnSessionFailed(void* value, const std::string& text, bool passing) {
    auto* context = static_cast<JobContext*>(value);
    if (!passing) {
        FailJob(context, kReasonDownloadFailed, text);
        return;
    }
    // What this session moved is reported now: the next one counts afresh.
    ReportResults(context);
    if (context->session) {
        for (const SessionFile& file : context->session->Files())
            if (file.replaced) context->replaced.insert(file.entry.index);
        // Inside the session's own report: it goes at the next safe point.
        context->session->Stop();
        retiredSessions_.push_back(std::move(context->session));
    }
    UpdateProgress(context);
    WaitToRetry(context, text);
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
    // A file that cannot be written ends the job (513: the disk is full).
    FailJob(static_cast<JobContext*>(value), code, text);
}

void CPlatFormDownloader::UpdateProgress(JobContext* context) {
    JobProgress progress;
    CPlatformSession* session = context->session.get();
    progress.total = context->totals.totalSize;
    progress.fileCount = context->totals.fileCount;
    progress.filesDone = context->filesCompleted;
    progress.held = context->carriedBytes + (session ? session->RunningTotal() : 0);
    if (progress.held > 0 && progress.total > 0)
        progress.percent = static_cast<std::int32_t>(progress.held * 100 / progress.total);
    const std::int64_t now = plat::CalendarSeconds();
    progress.elapsed = std::max<std::int64_t>(0, now - context->startTime);
    // The rate counts what this session moved, not what was on disk before
    // it, nor the time the job waited before it.
    const std::int64_t moved = session ? session->RunWritten() : 0;
    const std::int64_t running = std::max<std::int64_t>(0, now - context->sessionStartTime);
    std::int64_t rate = running > 0 ? moved / running : 0;
    // A session that moves the download on makes the next wait short again.
    if (moved > 0) context->backoff.Reset();
    progress.rate = static_cast<std::int32_t>(std::min<std::int64_t>(rate, INT32_MAX));
    progress.left =
        std::max<std::int64_t>(0, progress.total - progress.held) / (rate > 0 ? rate : 1);
    const SessionFile* file = session ? session->CurrentFile() : nullptr;
    // Past the last file, the last file is the current one: whole.
    if (!file && session && !session->Files().empty()) file = &session->Files().back();
    if (file) {
        progress.currentIndex = file->entry.index;
        progress.currentSize = file->entry.remoteSize;
        progress.currentHeld = file->entry.bytesOnDisk + file->entry.bytesWritten;
        progress.currentRate = rate;
        progress.currentLeft = progress.left;
        if (file->entry.state == 2)
            progress.currentPercent = 100;
        else if (progress.currentHeld > 0 && progress.currentSize > 0)
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
    retiredSessions_.clear();
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
    JobContext* context = FindContext(job);
    if (!up && !Offline()) {
        NotifyNetworkDown();
    } else if (up && Offline()) {
        SetOffline(false);
        NotifyJobMessage(job, kReasonNetworkBack, nullptr);
        // The network the job waited for is back: no reason to wait longer.
        if (context && context->retryAtMs >= 0) context->retryAtMs = plat::MonotonicMs();
    }
    // While the network is down a try would only fail again.
    if (up && context && context->retryAtMs >= 0 && plat::MonotonicMs() >= context->retryAtMs)
        Retry(context);
}
