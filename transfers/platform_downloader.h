// CPlatFormDownloader: the job downloader that fetches a job's files
// straight from the file servers over HTTP. Each started job gets a context
// and runs two phases on it: the remote size probe, then the ranged file
// session. Their reports become the job's notices (start, file completed,
// completed, messages) and its progress record; once a second the network
// connection is checked; finished files are reported to the report server.
//
// A session that fails for a cause that may pass (the network, a server
// down or busy) does not end the job: it waits (kJobWaiting, message 520
// with the wait and the cause), then a new session continues the files not
// yet whole (message 521), at once when the network comes back; the waits
// grow as transfers/retry_backoff.h says, and end in failure after its
// last. Any other failure ends the job: it is let go, idle, with 517.
//
// A context is never deleted inside a call from its own checker or session
// (they may still be on the stack): it is retired, its connections dropped,
// and deleted at the next safe point (tick, entry point, destruction).
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <set>
#include <string>

#include "transfers/file_size_checker.h"
#include "transfers/job_downloader.h"
#include "transfers/platform_session.h"
#include "transfers/retry_backoff.h"
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
        // The current session's start (calendar seconds): the rate counts
        // what it moved since then.
        std::int64_t sessionStartTime = 0;
        // Bytes of the files that earlier sessions finished, which the
        // current session does not hold.
        std::int64_t carriedBytes = 0;
        // Files an earlier session began afresh (a start-over answer).
        std::set<std::int32_t> replaced;
        RetryBackoff backoff;
        std::int64_t retryAtMs = -1;  // monotonic; -1 while not waiting
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
    void OnSessionFailed(void* context, const std::string& text, bool passing) override;
    void OnFileCompleted(void* context, const SessionFile& file) override;
    void OnProgress(void* context) override;
    void OnFileOpened(const std::string& path, void* context) override;
    void OnError(void* context, int code, const std::string& text) override;

    const JobContext* ContextOf(const CJob* job) const;

private:
    JobContext* FindContext(const CJob* job) const;
    void StartSizeCheck(JobContext* context);
    void StartSession(JobContext* context);
    // The job waits to try again (`why`), or fails when it has waited enough.
    void WaitToRetry(JobContext* context, const std::string& why);
    void Retry(JobContext* context);
    // The job ends failed: let go, idle, with message 517.
    void FailJob(JobContext* context, int code, const std::string& text);
    void UpdateProgress(JobContext* context);
    void ReportResults(JobContext* context);
    void DestroyContext(JobContext* context);
    void DeleteRetired();

    std::list<std::unique_ptr<JobContext>> contexts_;
    std::list<std::unique_ptr<JobContext>> retired_;
    // Sessions a retry replaced, deleted at the next safe point as contexts are.
    std::vector<std::unique_ptr<CPlatformSession>> retiredSessions_;
    std::unique_ptr<CPlatformReporter> reporter_;
    const CRecentRemoteSizes* recent_ = nullptr;
};
