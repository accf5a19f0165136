// The frame shared by the engine downloader and the direct downloader: the
// list of jobs a downloader holds, the 1000 ms tick over them, and the
// forwarders through which a strategy reports to its jobs. Jobs are owned by
// the job manager; a downloader only holds pointers to them. Every
// operation runs under the service lock.
#pragma once

#include <cstdint>
#include <vector>

#include "service/job_records.h"
#include "service/vz_smart_ptr.h"

class CJob;
class CJobManager;

inline constexpr const char* kServiceLibraryVersion = "3.4.0.10";

class CJobDownloader {
public:
    // Resets the service log and writes the launch line.
    explicit CJobDownloader(CJobManager* manager);
    virtual ~CJobDownloader();
    CJobDownloader(const CJobDownloader&) = delete;
    CJobDownloader& operator=(const CJobDownloader&) = delete;

    // The strategy: start or stop transferring a job, and the per-job check
    // that the tick runs.
    virtual int Begin(CJob* job) = 0;
    virtual void End(CJob* job) = 0;
    virtual void CheckJob(CJob* job) = 0;
    // The user's answer to the resume question; only the engine downloader cares.
    virtual int OnResumeAnswer(CJob* job, std::int32_t first, std::int32_t second);

    // 515 when already held; otherwise holds the job (state running), starts
    // the tick with the first job, and answers Begin's result.
    int AttachJob(CJob* job);
    // 516 when not held; otherwise lets the job go (state idle), stops the
    // tick with the last job, calls End and answers 512.
    int DetachJob(CJob* job);
    int AnswerResume(CJob* job, std::int32_t first, std::int32_t second);
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
    CJobManager* Manager() const { return manager_; }

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
    CJobManager* manager_;
};
