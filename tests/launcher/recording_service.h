// A download service that records the controller's calls ("Name(args)")
// and answers from values a test sets. Jobs are made-up handles that are
// never dereferenced.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "launcher/service_client.h"
#include "service/base/status_codes.h"

class RecordingService : public IServiceClient {
public:
    ServiceResult InitializeService() override {
        return Log("InitializeService()", initializeResult);
    }
    void FinalizeService() override { calls.push_back("FinalizeService()"); }
    ServiceResult LoadDocument(const std::string& url) override {
        return Log("LoadDocument(" + url + ")", loadResult);
    }
    ServiceResult SetServiceKey(const std::string& key) override {
        return Log("SetServiceKey(" + key + ")", kResultOk);
    }
    bool FetchDocument(std::string* bytes) override {
        calls.push_back("FetchDocument()");
        if (!document) return false;
        *bytes = *document;
        return true;
    }
    std::string DocumentFailure() override { return documentFailure; }
    std::string SizeCheckFailure() override { return sizeCheckFailure; }
    bool AddSizeCheckUrl(const std::string& url) override {
        calls.push_back("AddSizeCheckUrl(" + url + ")");
        return sizeCheckAvailable;
    }
    void StartSizeCheck() override { calls.push_back("StartSizeCheck()"); }
    std::int64_t SizeCheckTotal() override { return sizeTotal; }
    ServiceResult CreateJob(CJob** job, const std::string& key) override {
        if (!createSucceeds) return Log("CreateJob(" + key + ")", kResultFailed);
        *job = reinterpret_cast<CJob*>(static_cast<std::uintptr_t>(0x1000 + 0x10 * ++jobsCreated));
        return Log("CreateJob(" + key + ")", kResultOk);
    }
    ServiceResult SetJobEngineFlag(CJob* job) override {
        return Log("SetJobEngineFlag(" + Name(job) + ")", kResultOk);
    }
    ServiceResult AddJobFile(CJob* job, const std::string& url,
                             const std::string& folder) override {
        return Log("AddJobFile(" + Name(job) + "," + url + "," + folder + ")", addFileResult);
    }
    ServiceResult StartJob(CJob* job, std::int32_t speed) override {
        return Log("StartJob(" + Name(job) + "," + std::to_string(speed) + ")", startResult);
    }
    ServiceResult StopJob(CJob* job) override {
        return Log("StopJob(" + Name(job) + ")", kResultOk);
    }
    ServiceResult RemoveJob(CJob* job) override {
        return Log("RemoveJob(" + Name(job) + ")", kResultOk);
    }
    ServiceResult AnswerResume(CJob* job, bool cont, bool all) override {
        return Log("AnswerResume(" + Name(job) + "," + std::to_string(cont) + "," +
                       std::to_string(all) + ")",
                   kResultOk);
    }
    ServiceResult GetJobStartInfo(CJob* job, JobStartInfo*) override {
        return Log("GetJobStartInfo(" + Name(job) + ")", kResultOk);
    }
    ServiceResult GetJobProgress(CJob* job, JobProgress* out) override {
        *out = progress;
        return Log("GetJobProgress(" + Name(job) + ")", progressResult);
    }
    ServiceResult PopJobFileEvent(CJob* job, JobFileEvent* out) override {
        if (!fileEvents.empty()) {
            out->text = fileEvents.front();
            fileEvents.pop_front();
        }
        return Log("PopJobFileEvent(" + Name(job) + ")", kResultOk);
    }
    ServiceResult GetJobCompletion(CJob* job, JobCompletion*) override {
        return Log("GetJobCompletion(" + Name(job) + ")", kResultOk);
    }
    ServiceResult PopJobMessage(CJob* job, std::int32_t* code, std::string* text) override {
        *code = kResultOk;
        if (!messages.empty()) {
            *code = messages.front().first;
            *text = messages.front().second;
            messages.pop_front();
        }
        return Log("PopJobMessage(" + Name(job) + ")", kResultOk);
    }
    ServiceResult GetRemainingBytes(CJob* job, std::int64_t* count) override {
        *count = remainingBytes;
        return Log("GetRemainingBytes(" + Name(job) + ")", kResultOk);
    }

    // The handle of the n-th job created (1-based), as the events carry it.
    static plat::LParam JobHandle(int n) { return static_cast<plat::LParam>(0x1000 + 0x10 * n); }
    static std::string Name(CJob* job) {
        auto value = reinterpret_cast<std::uintptr_t>(job);
        return value ? "job" + std::to_string((value - 0x1000) / 0x10) : "null";
    }
    // The calls whose text begins with `prefix`, in order.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& call : calls)
            if (call.rfind(prefix, 0) == 0) found.push_back(call);
        return found;
    }

    std::vector<std::string> calls;
    std::string documentFailure;
    std::string sizeCheckFailure;
    ServiceResult initializeResult = kResultOk;
    ServiceResult loadResult = kResultOk;
    std::optional<std::string> document;
    bool sizeCheckAvailable = true;
    std::int64_t sizeTotal = 0;
    bool createSucceeds = true;
    int jobsCreated = 0;
    ServiceResult addFileResult = kResultOk;
    ServiceResult startResult = kResultOk;
    JobProgress progress;
    ServiceResult progressResult = kResultOk;
    std::deque<std::string> fileEvents;
    std::deque<std::pair<std::int32_t, std::string>> messages;
    std::int64_t remainingBytes = 0;

private:
    ServiceResult Log(std::string call, ServiceResult result) {
        calls.push_back(std::move(call));
        return result;
    }
};
