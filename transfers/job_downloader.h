// The frame shared by the engine downloader and the direct downloader: the
// list of jobs a downloader holds, the 1000 ms tick over them, and the
// forwarders through which a strategy reports to its jobs. Jobs are owned by
// the job manager; a downloader only holds pointers to them. Every
// operation runs under the service lock.
#pragma once

#include <cstdint>
#include <vector>

#include "service/base/job_records.h"
#include "service/base/status_codes.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/result_record.h"

class CJob;
class cpCMutex;

// What a job downloader reports to its owner (the job manager) beyond the
// jobs' own notices: the engine's state and jobs that change downloader.
// All calls arrive on the worker thread with the service lock held.
class IJobDownloadEventListener {
public:
    // An engine update's archive and its size, then its bytes received.
    virtual void OnEngineUpdateInfo(const char* url, std::int64_t size) = 0;
    virtual void OnEngineUpdateProgress(const char* url, std::int64_t received) = 0;
    // The engine runs; `updated`: its update pass brought the version the
    // update server names.
    virtual void OnEngineReady(bool updated) = 0;
    virtual void OnEngineUnavailable() = 0;
    virtual void OnEngineFailed() = 0;
    virtual void OnJobToDirect(CJob* job) = 0;
    // kind 1: the engine path is not accessible; kind 2: the download path.
    virtual void OnPathAccessFailed(int kind) = 0;
    // What the files of a job took, for the report server (the engine
    // downloader's jobs; the direct downloader reports its own).
    virtual void OnJobResults(const std::vector<ResultRecord>& records) = 0;

protected:
    ~IJobDownloadEventListener() = default;
};

inline constexpr const char* kServiceLibraryVersion = "3.4.0.10";

class CJobDownloader {
public:
    // `listener` (the job manager) and `serviceLock` are not owned and
    // outlive the downloader; either may be null in tests. (The service log
    // is emptied, and its launch line written, once per service start by the
    // job manager, not by each downloader.)
    CJobDownloader(IJobDownloadEventListener* listener, cpCMutex* serviceLock);
    virtual ~CJobDownloader();
    CJobDownloader(const CJobDownloader&) = delete;
    CJobDownloader& operator=(const CJobDownloader&) = delete;

    // The strategy: start or stop transferring a job, and the per-job check
    // that the tick runs.
    virtual ServiceResult Begin(CJob* job) = 0;
    virtual void End(CJob* job) = 0;
    virtual void CheckJob(CJob* job) = 0;
    // The user's answer to the resume question; only the engine downloader cares.
    virtual ServiceResult OnResumeAnswer(CJob* job, std::int32_t first, std::int32_t second);
    // Whether results are still on their way to the report server (queued or
    // unanswered); asking drives them out. The service waits a few seconds
    // on this at its end.
    virtual bool ReportsPending() { return false; }
    // Sends results of another downloader's jobs with this one's own (only
    // the direct downloader has a reporter).
    virtual void ReportResults(const std::vector<ResultRecord>& records) { (void)records; }
    // The job manager gives this downloader up (the engine failed): from now
    // on it does nothing, and it is deleted later, outside its own calls.
    // Its jobs are let go with their state unchanged.
    virtual void Retire() {}

    // 515 when already held; otherwise holds the job (state running), starts
    // the tick with the first job, and answers Begin's result.
    ServiceResult AttachJob(CJob* job);
    // 516 when not held; otherwise lets the job go (state idle), stops the
    // tick with the last job, calls End and answers 512.
    ServiceResult DetachJob(CJob* job);
    ServiceResult AnswerResume(CJob* job, std::int32_t first, std::int32_t second);
    bool Holds(const CJob* job) const;

    // Forwarders for the strategies; each does nothing for a job not held.
    void NotifyJobStart(CJob* job, std::int32_t fileCount, std::int64_t totalSize);
    void NotifyJobFileCompleted(CJob* job, const std::string& path, const char* alternateText,
                                const std::string& url);
    void NotifyJobMessage(CJob* job, std::int32_t code, const char* text);
    void NotifyJobProgress(CJob* job, const JobProgress& progress);
    // Marks the downloader offline and tells every held job (message 515).
    void NotifyNetworkDown();

    bool Offline() const { return offline_ != 0; }
    void SetOffline(bool offline) { offline_ = offline ? 1 : 0; }
    bool TickRunning() const { return static_cast<bool>(tickTimer_); }
    const std::vector<CJob*>& HeldJobs() const { return held_; }
    IJobDownloadEventListener* Listener() const { return listener_; }
    // The service lock, for the entry points that reach a strategy from the
    // caller's thread.
    cpCMutex* ServiceLock() const { return serviceLock_; }

protected:
    // Stops the tick when nothing is held any more.
    void StopTickIfIdle();
    // Lets a job go without calling End (a strategy that finished it itself).
    bool ReleaseJob(CJob* job);

private:
    static void OnTickTimer(void* self);
    void Tick();

    std::int32_t offline_ = 0;
    vzSmartPtr tickTimer_;
    std::vector<CJob*> held_;
    IJobDownloadEventListener* listener_;
    cpCMutex* serviceLock_;
};
