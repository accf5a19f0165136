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

    int InitializeService() override;
    void FinalizeService() override;
    int LoadDocument(const std::string& url) override;
    int SetServiceKey(const std::string& key) override;
    bool FetchDocument(std::string* bytes) override;
    bool AddSizeCheckUrl(const std::string& url) override;
    void StartSizeCheck() override;
    std::int64_t SizeCheckTotal() override;
    int CreateJob(CJob** job, const std::string& serviceKey) override;
    int SetJobEngineFlag(CJob* job) override;
    int AddJobFile(CJob* job, const std::string& url, const std::string& folder) override;
    int StartJob(CJob* job, std::int32_t speedFlag) override;
    int StopJob(CJob* job) override;
    int RemoveJob(CJob* job) override;
    int AnswerResume(CJob* job, bool continueEarlier, bool applyToAll) override;
    int GetJobStartInfo(CJob* job, JobStartInfo* out) override;
    int GetJobProgress(CJob* job, JobProgress* out) override;
    int PopJobFileEvent(CJob* job, JobFileEvent* out) override;
    int GetJobCompletion(CJob* job, JobCompletion* out) override;
    int PopJobMessage(CJob* job, std::int32_t* code, std::string* text) override;
    int GetRemainingBytes(CJob* job, std::int64_t* count) override;

private:
    plat::Hwnd notifyWindow_;
};
