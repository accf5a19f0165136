// The job manager owns every job, both job downloaders, the document
// session, the content-length checker and the network library context. Its
// operations are the service's entry points: they run on the caller's
// thread and hold the service lock for their whole run. Reports from the
// downloaders and sessions arrive through its three listener faces on the
// worker thread and leave as events posted to the notification window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/window.h"
#include "service/base/job.h"
#include "service/base/vz_smart_ptr.h"
#include "engine/engine_downloader.h"
#include "engine/engine_launcher.h"
#include "engine/start_only_launcher.h"
#include "transfers/content_length_checker.h"
#include "transfers/data_download_session.h"
#include "transfers/job_downloader.h"

class CZel;
class cpCMutex;

class CJobManager : public IJobDownloadEventListener,
                    public IDataDownloadSessionEventListener,
                    public IContentLengthCheckerEventListener {
public:
    // Runs on the worker thread: creates the network library context there.
    explicit CJobManager(const vzSmartPtr& serviceLock);
    virtual ~CJobManager();
    CJobManager(const CJobManager&) = delete;
    CJobManager& operator=(const CJobManager&) = delete;

    // Whether the network runtime came up (socket window, thread timer).
    bool NetworkStarted() const;

    ServiceResult Setup(plat::Hwnd notifyWindow);

    ServiceResult LoadDocument(const char* url);
    ServiceResult SetServiceKey(const char* key);
    ServiceResult CreateJob(CJob** job, const char* serviceKey);
    ServiceResult SetJobEngineFlag(CJob* job);
    ServiceResult AddJobFile(CJob* job, const char* url, const char* folder);
    ServiceResult StartJob(CJob* job, std::int32_t speedFlag);
    ServiceResult StopJob(CJob* job);
    ServiceResult RemoveJob(CJob* job);
    ServiceResult AnswerResume(CJob* job, std::int32_t first, std::int32_t second);
    ServiceResult GetJobStartInfo(CJob* job, JobStartInfo* out);
    ServiceResult GetJobStatus(CJob* job, JobProgress* out);
    ServiceResult GetJobProgress(CJob* job, JobProgress* out);
    ServiceResult PopJobFileEvent(CJob* job, JobFileEvent* out);
    ServiceResult GetJobCompletion(CJob* job, JobCompletion* out);
    ServiceResult PeekJobMessageLength(CJob* job, std::uint32_t* length);
    // Copies the text (NUL-terminated, at most bufferSize - 1 bytes) when
    // `buffer` is not null and the text is not empty.
    ServiceResult PopJobMessage(CJob* job, std::int32_t* code, char* buffer,
                                std::size_t bufferSize);

    // Gives the results still on their way to the report server up to
    // `timeoutMs` to go out, while the worker keeps running the network.
    // Called by FinalizeService on the caller's thread, without the lock.
    void WaitForReports(int timeoutMs);

    // Why the last document fetch failed ("" when none did or there is no
    // document session).
    std::string DocumentFailure() const;
    // Why the last size check failed ("" when it did not, or without checker).
    std::string SizeCheckFailure() const;

    // The document fetched by LoadDocument; false while there is no session.
    bool DocumentBytes(const char** data, std::int64_t* length) const;
    // The content-length checker's sum; false while there is no checker.
    bool CheckedTotal(std::int64_t* total) const;

    // IJobDownloadEventListener
    void OnEngineUpdateInfo(const char* url, std::int64_t size) override;
    void OnEngineUpdateProgress(const char* url, std::int64_t received) override;
    void OnEngineReady(bool updated) override;
    void OnEngineUnavailable() override;
    void OnEngineFailed() override;
    void OnJobToDirect(CJob* job) override;
    void OnPathAccessFailed(int kind) override;
    void OnJobResults(const std::vector<ResultRecord>& records) override;
    // IDataDownloadSessionEventListener
    void OnDocumentComplete() override;
    void OnDocumentFailed(int reason) override;
    void OnDocumentTick() override;
    // IContentLengthCheckerEventListener
    void OnLengthsKnown() override;
    void OnLengthCheckFailed() override;
    void OnLengthCheckAborted() override;

    bool IsListed(const CJob* job) const;
    cpCMutex* Lock() const;
    plat::Hwnd NotifyWindow() const { return notifyWindow_; }
    CJobDownloader* DirectDownloader() const { return direct_.get(); }
    CJobDownloader* EngineDownloader() const { return engine_.get(); }
    std::size_t JobCount() const { return jobs_.size(); }

    // The launch behind the engine downloader that Setup makes (a start only,
    // until the updater brings its update-then-start pass); none: no engine
    // downloader at all. Set before Setup.
    void SetEngineLauncherFactory(EngineLauncherFactory factory);
    // Test seam: the factory every job manager made from now on starts with
    // (the updating launch by default; an empty one: no engine link).
    static void SetDefaultLauncherFactoryForTesting(EngineLauncherFactory factory);
    // Test seam: the limits engine downloaders made from now on watch by.
    static void SetEngineLinkLimitsForTesting(const EngineLinkLimits& limits);

    // The downloaders are set by Setup; these let later stages and tests put theirs in.
    void SetDirectDownloader(std::unique_ptr<CJobDownloader> downloader);
    void SetEngineDownloader(std::unique_ptr<CJobDownloader> downloader);
    void SetDocumentSource(std::unique_ptr<IDocumentSource> source);
    // The job manager owns the checker from here on.
    void SetContentLengthChecker(std::unique_ptr<IContentLengthTotal> checker);
    // The checker the launcher feeds the file list's URLs to, created on
    // first use with this job manager as its listener. Null when a checker
    // of another kind was installed. Takes the service lock.
    CContentLengthChecker* EnsureContentLengthChecker();
    // The installed checker, or null; call with the service lock held.
    IContentLengthTotal* ContentLengthChecker() const { return checker_.get(); }

private:
    void Post(int event, plat::LParam lParam) const;
    void DropRetiredEngine();

    // Before the downloaders and the checker, which hold it.
    CRecentRemoteSizes recentSizes_;
    std::unique_ptr<CJobDownloader> direct_;
    std::unique_ptr<CJobDownloader> engine_;
    // An engine downloader that reported its own failure: it cannot be
    // deleted inside its own call, so it goes at the next entry point.
    std::unique_ptr<CJobDownloader> retiredEngine_;
    vzSmartPtr lock_;
    std::unique_ptr<CZel> zel_;
    std::unique_ptr<IDocumentSource> document_;
    std::unique_ptr<IContentLengthTotal> checker_;
    std::vector<CJob*> jobs_;
    EngineLauncherFactory launcherFactory_;
    std::string serviceKey_;
    std::int32_t nextJobId_ = 0;
    plat::Hwnd notifyWindow_ = nullptr;
};
