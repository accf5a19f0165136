#include "service/job_manager.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "engine/engine_downloader.h"
#include "engine/engine_paths.h"
#include "http/url_file_name.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/text.h"
#include "service/base/service_log.h"
#include "transfers/platform_downloader.h"
#include "transport/cp_mutex.h"
#include "transport/zel.h"
#include "updater/engine_install.h"
#include "updater/update_downloader.h"
#include "updater/update_launcher.h"

namespace {
std::mutex g_defaultFactoryMutex;
std::optional<EngineLauncherFactory> g_defaultFactory;
EngineLinkLimits g_linkLimits;
}  // namespace

void CJobManager::SetEngineLinkLimitsForTesting(const EngineLinkLimits& limits) {
    std::lock_guard lock(g_defaultFactoryMutex);
    g_linkLimits = limits;
}

void CJobManager::SetDefaultLauncherFactoryForTesting(EngineLauncherFactory factory) {
    std::lock_guard lock(g_defaultFactoryMutex);
    g_defaultFactory = std::move(factory);
}

CJobManager::CJobManager(const vzSmartPtr& serviceLock) : lock_(serviceLock) {
    ResetUpdateVersionCheck();
    {
        std::lock_guard lock(g_defaultFactoryMutex);
        launcherFactory_ = g_defaultFactory ? *g_defaultFactory : CEngineLauncher::Factory();
    }
    zel_ = std::make_unique<CZel>(lock_);
}

CJobManager::~CJobManager() {
    cpLockGuard guard(Lock());
    for (CJob* job : jobs_) delete job;
    jobs_.clear();
    retiredEngine_.reset();
    engine_.reset();
    direct_.reset();
    document_.reset();
    checker_.reset();
    zel_.reset();
}

bool CJobManager::NetworkStarted() const {
    return zel_ && zel_->Started();
}

cpCMutex* CJobManager::Lock() const {
    return lock_.As<cpCMutex>();
}

bool CJobManager::IsListed(const CJob* job) const {
    return job && std::find(jobs_.begin(), jobs_.end(), job) != jobs_.end();
}

void CJobManager::Post(int event, plat::LParam lParam) const {
    if (notifyWindow_)
        plat::PostMessage(notifyWindow_, kServiceEventMessage, static_cast<plat::WParam>(event),
                          lParam);
}

void CJobManager::DropRetiredEngine() {
    retiredEngine_.reset();
}

ServiceResult CJobManager::Setup(plat::Hwnd notifyWindow) {
    cpLockGuard guard(Lock());
    notifyWindow_ = notifyWindow;
    // The log is emptied once per start of the service, before either
    // downloader writes to it.
    ResetServiceLog();
    WriteServiceLogFormat("[OstrelLib] Launch(%s)", kServiceLibraryVersion);
    auto direct = std::make_unique<CPlatFormDownloader>(this, Lock());
    direct->SetRecentSizes(&recentSizes_);
    direct_ = std::move(direct);
    // Jobs go to the engine while it exists; it gives them to the direct
    // downloader whenever it cannot serve them.
    if (launcherFactory_) {
        EngineLinkLimits limits;
        {
            std::lock_guard lock(g_defaultFactoryMutex);
            limits = g_linkLimits;
        }
        auto engine = std::make_unique<CEngineDownloader>(this, Lock(), launcherFactory_, limits);
        engine->SetServiceKey(serviceKey_);
        engine->SetRecentSizes(&recentSizes_);
        // An engine that answered has run: the version it replaced may go.
        engine->SetLinkUpHook([] {
            std::string folder;
            EnginePaths().GetEngineFolder(&folder);
            if (!folder.empty()) CommitEngineInstall(folder);
        });
        engine_ = std::move(engine);
    }
    return kResultOk;
}

void CJobManager::SetEngineLauncherFactory(EngineLauncherFactory factory) {
    cpLockGuard guard(Lock());
    launcherFactory_ = std::move(factory);
}

void CJobManager::SetDirectDownloader(std::unique_ptr<CJobDownloader> downloader) {
    cpLockGuard guard(Lock());
    direct_ = std::move(downloader);
}

void CJobManager::SetEngineDownloader(std::unique_ptr<CJobDownloader> downloader) {
    cpLockGuard guard(Lock());
    engine_ = std::move(downloader);
}

void CJobManager::SetDocumentSource(std::unique_ptr<IDocumentSource> source) {
    cpLockGuard guard(Lock());
    document_ = std::move(source);
}

void CJobManager::SetContentLengthChecker(std::unique_ptr<IContentLengthTotal> checker) {
    cpLockGuard guard(Lock());
    checker_ = std::move(checker);
}

CContentLengthChecker* CJobManager::EnsureContentLengthChecker() {
    cpLockGuard guard(Lock());
    if (!checker_) {
        auto checker = std::make_unique<CContentLengthChecker>(this);
        checker->SetRecentSizes(&recentSizes_);
        checker_ = std::move(checker);
    }
    return dynamic_cast<CContentLengthChecker*>(checker_.get());
}

ServiceResult CJobManager::LoadDocument(const char* url) {
    cpLockGuard guard(Lock());
    DropRetiredEngine();
    if (!document_)
        document_ = std::make_unique<CDataDownloadSession>(
            static_cast<IDataDownloadSessionEventListener*>(this));
    // A value below 0x10000 names a string resource of the program; the
    // program has no such resource for documents, so it loads nothing.
    if (reinterpret_cast<std::uintptr_t>(url) < 0x10000 || !*url) return kResultOk;
    document_->Fetch(url);
    return kResultOk;
}

ServiceResult CJobManager::SetServiceKey(const char* key) {
    cpLockGuard guard(Lock());
    serviceKey_ = key ? key : "";
    if (auto* engine = dynamic_cast<CEngineDownloader*>(engine_.get()))
        engine->SetServiceKey(serviceKey_);
    return kResultOk;
}

ServiceResult CJobManager::CreateJob(CJob** job, const char* serviceKey) {
    cpLockGuard guard(Lock());
    DropRetiredEngine();
    if (!job) return kResultFailed;
    if (IsListed(*job)) return kResultFailed;
    auto* created = new CJob(nextJobId_++, serviceKey ? serviceKey : "", notifyWindow_);
    jobs_.push_back(created);
    *job = created;
    return kResultOk;
}

ServiceResult CJobManager::SetJobEngineFlag(CJob* job) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    job->SetEngineFlag();
    return kResultOk;
}

ServiceResult CJobManager::AddJobFile(CJob* job, const char* url, const char* folder) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    std::string normalized = plat::NormalizeFolder(folder ? folder : "");
    // The job's files mostly share one folder: it was made for the file
    // before (and a file's own open makes it again should it vanish).
    const bool folderMade = job->FileCount() > 0 && job->DownloadFolder() == normalized;
    if (!folderMade && !plat::EnsureFolderPath(normalized)) {
        OnPathAccessFailed(2);
        return kResultBadFolder;
    }
    if (job->State() != kJobIdle) return kResultFailed;
    if (!url || !*url) return kResultBadUrl;
    if (normalized.empty()) return kResultBadFolder;

    std::string trimmed(plat::Trim(url));
    // The file is stored under its URL's last segment, decoded, without query
    // or fragment; a name that is no file's name (empty, "..", a separator,
    // a control character) would be written somewhere else, or nowhere.
    std::string localName = FileNameOfUrlField(trimmed);
    if (CheckFileName(localName) != FileNameProblem::kNone) return kResultBadUrl;
    return job->AddFile(std::move(trimmed), std::move(normalized), std::move(localName))
               ? kResultOk
               : kResultFailed;
}

ServiceResult CJobManager::StartJob(CJob* job, std::int32_t speedFlag) {
    cpLockGuard guard(Lock());
    DropRetiredEngine();
    if (!IsListed(job) || job->FileCount() == 0) return kResultFailed;
    job->SetSpeedFlag(speedFlag);
    CJobDownloader* downloader = engine_ ? engine_.get() : direct_.get();
    if (!downloader) return kResultFailed;
    return downloader->AttachJob(job);
}

ServiceResult CJobManager::StopJob(CJob* job) {
    cpLockGuard guard(Lock());
    DropRetiredEngine();
    if (!IsListed(job)) return kResultFailed;
    if (engine_ && engine_->Holds(job)) return engine_->DetachJob(job);
    if (direct_ && direct_->Holds(job)) return direct_->DetachJob(job);
    return kResultFailed;
}

ServiceResult CJobManager::RemoveJob(CJob* job) {
    cpLockGuard guard(Lock());
    DropRetiredEngine();
    auto it = std::find(jobs_.begin(), jobs_.end(), job);
    if (it == jobs_.end()) return kResultFailed;
    jobs_.erase(it);
    // The job is deleted either way; detaching only tells its downloader.
    if (engine_ && engine_->Holds(job))
        (void)engine_->DetachJob(job);
    else if (direct_ && direct_->Holds(job))
        (void)direct_->DetachJob(job);
    // Nothing refers to a removed job any more, held or not.
    delete job;
    return kResultOk;
}

ServiceResult CJobManager::AnswerResume(CJob* job, std::int32_t first, std::int32_t second) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    // Kept with the job, so that the answer holds on whichever downloader
    // carries it, now or after a move to direct download.
    job->SetResumeAnswer(first != 0);
    // The answer goes to the downloader that holds the job.
    if (engine_ && engine_->Holds(job)) return engine_->AnswerResume(job, first, second);
    if (direct_ && direct_->Holds(job)) return direct_->AnswerResume(job, first, second);
    return kResultNotAttached;
}

ServiceResult CJobManager::GetJobStartInfo(CJob* job, JobStartInfo* out) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    if (auto info = job->TakeStartInfo(); info && out) {
        out->fileCount = info->fileCount;
        out->totalSize = info->totalSize;
    }
    return kResultOk;
}

ServiceResult CJobManager::GetJobStatus(CJob* job, JobProgress* out) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    if (out) {
        std::int32_t callersIndex = out->currentIndex;
        *out = job->Progress();
        out->currentIndex = callersIndex;
    }
    return kResultOk;
}

ServiceResult CJobManager::GetJobProgress(CJob* job, JobProgress* out) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    if (out) *out = job->Progress();
    return kResultOk;
}

ServiceResult CJobManager::PopJobFileEvent(CJob* job, JobFileEvent* out) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    if (auto record = job->PopFileEvent(); record && out) *out = std::move(*record);
    return kResultOk;
}

ServiceResult CJobManager::GetJobCompletion(CJob* job, JobCompletion* out) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    if (auto info = job->TakeCompletion(); info && out) *out = *info;
    return kResultOk;
}

ServiceResult CJobManager::PeekJobMessageLength(CJob* job, std::uint32_t* length) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    if (length) *length = job->PeekMessageLength();
    return kResultOk;
}

ServiceResult CJobManager::PopJobMessage(CJob* job, std::int32_t* code, char* buffer,
                                         std::size_t bufferSize) {
    cpLockGuard guard(Lock());
    if (!IsListed(job)) return kResultFailed;
    auto message = job->PopMessage();
    if (!message) {
        if (code) *code = kResultOk;
        return kResultOk;
    }
    if (code) *code = message->first;
    if (buffer && bufferSize > 0 && !message->second.empty()) {
        std::size_t n = std::min(bufferSize - 1, message->second.size());
        std::memcpy(buffer, message->second.data(), n);
        buffer[n] = '\0';
    }
    return kResultOk;
}

void CJobManager::WaitForReports(int timeoutMs) {
    const std::int64_t deadline = plat::MonotonicMs() + timeoutMs;
    for (;;) {
        {
            cpLockGuard guard(Lock());
            if (!direct_ || !direct_->ReportsPending()) return;
        }
        if (plat::MonotonicMs() >= deadline) {
            WriteServiceLog(
                "[OstrelLib] Reports still pending at the end; kept for the next start");
            return;
        }
        plat::SleepMs(20);
    }
}

std::string CJobManager::SizeCheckFailure() const {
    cpLockGuard guard(Lock());
    return checker_ ? checker_->FailureText() : std::string();
}

std::string CJobManager::DocumentFailure() const {
    cpLockGuard guard(Lock());
    return document_ ? document_->FailureText() : std::string();
}

bool CJobManager::DocumentBytes(const char** data, std::int64_t* length) const {
    cpLockGuard guard(Lock());
    if (!document_) return false;
    *data = document_->DocumentData();
    *length = document_->DocumentLength();
    return true;
}

bool CJobManager::CheckedTotal(std::int64_t* total) const {
    cpLockGuard guard(Lock());
    if (!checker_) return false;
    *total = checker_->TotalBytes();
    return true;
}

void CJobManager::OnEngineUpdateInfo(const char*, std::int64_t) {
    Post(kEventEngineUpdateInfo, 0);
}
void CJobManager::OnEngineUpdateProgress(const char*, std::int64_t) {
    Post(kEventEngineUpdateProgress, 0);
}
void CJobManager::OnEngineReady(bool updated) {
    // 1: the engine that runs is the one installed before (its update failed).
    Post(kEventEngineReady, updated ? 0 : 1);
}
void CJobManager::OnEngineUnavailable() {
    Post(kEventEngineUnavailable, 0);
}

void CJobManager::OnEngineFailed() {
    cpLockGuard guard(Lock());
    if (!engine_) return;
    // This call comes from the engine downloader itself, so it is retired
    // now (inert, its jobs let go) and deleted once its call has returned.
    engine_->Retire();
    retiredEngine_ = std::move(engine_);
    if (!direct_) return;
    for (CJob* job : jobs_)
        // A job the direct downloader already holds keeps running there.
        if (job->State() == kJobRunning || job->State() == kJobWaiting)
            (void)direct_->AttachJob(job);
}

void CJobManager::OnJobToDirect(CJob* job) {
    cpLockGuard guard(Lock());
    // A job the direct downloader already holds keeps running there.
    if (IsListed(job) && direct_) (void)direct_->AttachJob(job);
}

void CJobManager::OnPathAccessFailed(int kind) {
    if (kind == 1) {
        WriteServiceLog("[OstrelLib] engine path access failed");
        Post(kEventEnginePathFailed, reinterpret_cast<plat::LParam>(this));
    } else if (kind == 2) {
        WriteServiceLog("[OstrelLib] download path access failed");
        Post(kEventDownloadPathFailed, reinterpret_cast<plat::LParam>(this));
    }
}

void CJobManager::OnJobResults(const std::vector<ResultRecord>& records) {
    // One reporter for both paths: the direct downloader's, with its queue
    // and the records it keeps for the next start.
    if (direct_) direct_->ReportResults(records);
}

void CJobManager::OnDocumentComplete() {
    Post(kEventDocumentComplete, 0);
}
void CJobManager::OnDocumentFailed(int) {
    Post(kEventDocumentFailed, 0);
}
void CJobManager::OnDocumentTick() {
    Post(kEventDocumentTick, 0);
}
void CJobManager::OnLengthsKnown() {
    Post(kEventLengthsKnown, 0);
}
void CJobManager::OnLengthCheckFailed() {
    Post(kEventLengthCheckFailed, 0);
}
void CJobManager::OnLengthCheckAborted() {
    Post(kEventLengthCheckFailed, 0);
}
