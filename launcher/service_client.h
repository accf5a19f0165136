// IServiceClient: the download service as the main window controller uses
// it: the entry points, the job manager's operations and the content-length
// checker, with the service's result codes (512 success, 517 failure ...).
// Byte strings are in the service's code page. Every operation answers
// 517 (or false) and does nothing while the service or its job manager is
// absent, so the controller can call them at any time.
#pragma once

#include <cstdint>
#include <string>

#include "service/base/job_records.h"
#include "service/base/status_codes.h"

class CJob;

class IServiceClient {
public:
    virtual ~IServiceClient() = default;

    virtual ServiceResult InitializeService() = 0;
    virtual void FinalizeService() = 0;

    virtual ServiceResult LoadDocument(const std::string& url) = 0;
    virtual ServiceResult SetServiceKey(const std::string& key) = 0;
    // GetDocumentSize, then GetDocument into a buffer of that size. False
    // when there is no document; an empty document gives true and "".
    virtual bool FetchDocument(std::string* bytes) = 0;
    // Why the last document fetch failed, in words; "" when unknown.
    virtual std::string DocumentFailure() = 0;

    // The content-length checker of the job manager (created on first use).
    // False when there is no service to add the URL to.
    virtual bool AddSizeCheckUrl(const std::string& url) = 0;
    virtual void StartSizeCheck() = 0;
    // The checker's total, 0 when there is no checker.
    virtual std::int64_t SizeCheckTotal() = 0;
    // Why the last size check failed, in words; "" when unknown.
    virtual std::string SizeCheckFailure() = 0;

    virtual ServiceResult CreateJob(CJob** job, const std::string& serviceKey) = 0;
    virtual ServiceResult SetJobEngineFlag(CJob* job) = 0;
    virtual ServiceResult AddJobFile(CJob* job, const std::string& url,
                                     const std::string& folder) = 0;
    virtual ServiceResult StartJob(CJob* job, std::int32_t speedFlag) = 0;
    virtual ServiceResult StopJob(CJob* job) = 0;
    virtual ServiceResult RemoveJob(CJob* job) = 0;
    virtual ServiceResult AnswerResume(CJob* job, bool continueEarlier, bool applyToAll) = 0;

    virtual ServiceResult GetJobStartInfo(CJob* job, JobStartInfo* out) = 0;
    virtual ServiceResult GetJobProgress(CJob* job, JobProgress* out) = 0;
    virtual ServiceResult PopJobFileEvent(CJob* job, JobFileEvent* out) = 0;
    virtual ServiceResult GetJobCompletion(CJob* job, JobCompletion* out) = 0;
    // PeekJobMessageLength, then PopJobMessage into a buffer of that length.
    // The code is 512 when no message was queued.
    virtual ServiceResult PopJobMessage(CJob* job, std::int32_t* code, std::string* text) = 0;
    virtual ServiceResult GetRemainingBytes(CJob* job, std::int64_t* count) = 0;
};
