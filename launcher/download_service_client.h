// CDownloadServiceClient: IServiceClient over the running download service
// of this process (service/download_service.h) and its job manager's
// content-length checker.
#pragma once

#include "launcher/service_client.h"
#include "platform/window.h"

class CJobManager;

class CDownloadServiceClient final : public IServiceClient {
public:
    // `notifyWindow` receives the service's events (message 0x2B10); it
    // must stay valid until FinalizeService.
    explicit CDownloadServiceClient(plat::Hwnd notifyWindow) : notifyWindow_(notifyWindow) {}

    ServiceResult InitializeService() override;
    void FinalizeService() override;
    ServiceResult LoadDocument(const std::string& url) override;
    ServiceResult SetServiceKey(const std::string& key) override;
    bool FetchDocument(std::string* bytes) override;
    std::string DocumentFailure() override;
    bool AddSizeCheckUrl(const std::string& url) override;
    void StartSizeCheck() override;
    std::int64_t SizeCheckTotal() override;
    std::string SizeCheckFailure() override;
    ServiceResult CreateJob(CJob** job, const std::string& serviceKey) override;
    ServiceResult SetJobEngineFlag(CJob* job) override;
    ServiceResult AddJobFile(CJob* job, const std::string& url, const std::string& folder) override;
    ServiceResult StartJob(CJob* job, std::int32_t speedFlag) override;
    ServiceResult StopJob(CJob* job) override;
    ServiceResult RemoveJob(CJob* job) override;
    ServiceResult AnswerResume(CJob* job, bool continueEarlier, bool applyToAll) override;
    ServiceResult GetJobStartInfo(CJob* job, JobStartInfo* out) override;
    ServiceResult GetJobProgress(CJob* job, JobProgress* out) override;
    ServiceResult PopJobFileEvent(CJob* job, JobFileEvent* out) override;
    ServiceResult GetJobCompletion(CJob* job, JobCompletion* out) override;
    ServiceResult PopJobMessage(CJob* job, std::int32_t* code, std::string* text) override;
    ServiceResult GetRemainingBytes(CJob* job, std::int64_t* count) override;

private:
    plat::Hwnd notifyWindow_;
};
