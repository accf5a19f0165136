// ObservedServiceClient: hands every call on to the real service client and
// keeps what the terminal program needs to judge the run that the
// controller does not keep: the reason code and text of the last job
// message (a disk-full or failed-download message does not end the
// controller's run, but it ends the terminal program's), the file-finished
// texts and whether a job was ever started.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "launcher/service_client.h"
#include "service/base/status_codes.h"

struct ObservedJobMessage {
    std::int32_t code = 0;
    std::string text;
};

class ObservedServiceClient final : public IServiceClient {
public:
    explicit ObservedServiceClient(IServiceClient& inner) : inner_(inner) {}

    // --resume given: the answer is handed to every job before it starts, so
    // it holds on the direct path (which asks no question) as on an engine's.
    void AnswerResumeUpFront(bool continueEarlier) { upFrontAnswer_ = continueEarlier; }

    // The last job message with a reason (not the empty-queue answer 512),
    // taken away by the call.
    std::optional<ObservedJobMessage> TakeJobMessage();
    // Texts of the file-finished records ("URL,path"), taken away by the call.
    std::vector<std::string> TakeFinishedFiles();
    bool JobStarted() const { return jobStarted_; }

    ServiceResult InitializeService() override { return inner_.InitializeService(); }
    void FinalizeService() override { inner_.FinalizeService(); }
    ServiceResult LoadDocument(const std::string& url) override { return inner_.LoadDocument(url); }
    ServiceResult SetServiceKey(const std::string& key) override {
        return inner_.SetServiceKey(key);
    }
    bool FetchDocument(std::string* bytes) override { return inner_.FetchDocument(bytes); }
    std::string DocumentFailure() override { return inner_.DocumentFailure(); }
    std::string SizeCheckFailure() override { return inner_.SizeCheckFailure(); }
    bool AddSizeCheckUrl(const std::string& url) override { return inner_.AddSizeCheckUrl(url); }
    void StartSizeCheck() override { inner_.StartSizeCheck(); }
    std::int64_t SizeCheckTotal() override { return inner_.SizeCheckTotal(); }
    ServiceResult CreateJob(CJob** job, const std::string& serviceKey) override {
        return inner_.CreateJob(job, serviceKey);
    }
    ServiceResult SetJobEngineFlag(CJob* job) override { return inner_.SetJobEngineFlag(job); }
    ServiceResult AddJobFile(CJob* job, const std::string& url,
                             const std::string& folder) override {
        return inner_.AddJobFile(job, url, folder);
    }
    ServiceResult StartJob(CJob* job, std::int32_t speedFlag) override;
    ServiceResult StopJob(CJob* job) override { return inner_.StopJob(job); }
    ServiceResult RemoveJob(CJob* job) override { return inner_.RemoveJob(job); }
    ServiceResult AnswerResume(CJob* job, bool continueEarlier, bool applyToAll) override {
        return inner_.AnswerResume(job, continueEarlier, applyToAll);
    }
    ServiceResult GetJobStartInfo(CJob* job, JobStartInfo* out) override {
        return inner_.GetJobStartInfo(job, out);
    }
    ServiceResult GetJobProgress(CJob* job, JobProgress* out) override {
        return inner_.GetJobProgress(job, out);
    }
    ServiceResult PopJobFileEvent(CJob* job, JobFileEvent* out) override;
    ServiceResult GetJobCompletion(CJob* job, JobCompletion* out) override {
        return inner_.GetJobCompletion(job, out);
    }
    ServiceResult PopJobMessage(CJob* job, std::int32_t* code, std::string* text) override;
    ServiceResult GetRemainingBytes(CJob* job, std::int64_t* count) override {
        return inner_.GetRemainingBytes(job, count);
    }

private:
    IServiceClient& inner_;
    std::optional<ObservedJobMessage> jobMessage_;
    std::vector<std::string> finishedFiles_;
    bool jobStarted_ = false;
    std::optional<bool> upFrontAnswer_;
};
