// CPlatFormDownloader: the job downloader that fetches a job's files
// straight from the file servers over HTTP. Each started job gets a context
// and runs two phases on it: the remote size probe, then the ranged file
// session. Their reports become the job's notices (start, file completed,
// completed, messages) and its progress record; once a second the network
// connection is checked; finished files are reported to the report server.
//
// A context is never deleted inside a call from its own checker or session
// (they may still be on the stack): it is retired, its connections dropped,
// and deleted at the next safe point (tick, entry point, destruction).
#pragma once

#include <cstdint>
#include <list>
#include <memory>

#include "transfers/file_size_checker.h"
#include "transfers/job_downloader.h"
#include "transfers/platform_session.h"
#include "transfers/size_check_listeners.h"

class CPlatformReporter;

class CPlatFormDownloader final : public CJobDownloader,
                                  public IPlatFormSessionEventListener,
                                  public ICheckerEventListener {
public:
    struct JobContext {
        std::unique_ptr<CPlatformFileSizeChecker> checker;
        std::unique_ptr<CPlatformSession> session;
        CJob* job = nullptr;
        SizeTotals totals;
        std::int32_t filesCompleted = 0;
        std::int64_t startTime = 0;  // calendar seconds when the transfer began
    };

    CPlatFormDownloader(IJobDownloadEventListener* listener, cpCMutex* serviceLock);
    ~CPlatFormDownloader() override;

    // Sizes the file list's sum learned, which the size check takes as
    // known (not owned; null: every file is probed).
    void SetRecentSizes(const CRecentRemoteSizes* recent) { recent_ = recent; }

    ServiceResult Begin(CJob* job) override;
    void End(CJob* job) override;
    // The network watch.
    void CheckJob(CJob* job) override;
    bool ReportsPending() override;
    void ReportResults(const std::vector<ResultRecord>& records) override;

    // ICheckerEventListener
    void OnSizeCheckCompleted(void* context, const SizeTotals& totals) override;
    void OnSizeCheckFailed(void* context, int code, const std::string& text) override;
    // IPlatFormSessionEventListener
    void OnSessionComplete(void* context) override;
    void OnSessionFailed(void* context, const std::string& text) override;
    void OnFileCompleted(void* context, const SessionFile& file) override;
    void OnProgress(void* context) override;
    void OnFileOpened(const std::string& path, void* context) override;
    void OnError(void* context, int code, const std::string& text) override;

    const JobContext* ContextOf(const CJob* job) const;

private:
    JobContext* FindContext(const CJob* job) const;
    void StartSizeCheck(JobContext* context);
    void StartSession(JobContext* context);
    void UpdateProgress(JobContext* context);
    void ReportResults(JobContext* context);
    void DestroyContext(JobContext* context);
    void DeleteRetired();

    std::list<std::unique_ptr<JobContext>> contexts_;
    std::list<std::unique_ptr<JobContext>> retired_;
    std::unique_ptr<CPlatformReporter> reporter_;
    const CRecentRemoteSizes* recent_ = nullptr;
};
