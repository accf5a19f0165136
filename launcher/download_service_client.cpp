#include "launcher/download_service_client.h"

#include <vector>

#include "service/base/status_codes.h"
#include "service/download_service.h"
#include "service/job_manager.h"
#include "transfers/content_length_checker.h"

namespace {

// Runs `call` on the job manager, or answers 517 without one.
template <class Call>
ServiceResult OnManager(Call call) {
    CJobManager* manager = GetServiceJobManager();
    if (!manager) return kResultFailed;
    return call(*manager);
}

}  // namespace

ServiceResult CDownloadServiceClient::InitializeService() {
    return ::InitializeService(notifyWindow_);
}

void CDownloadServiceClient::FinalizeService() {
    ::FinalizeService();
}

ServiceResult CDownloadServiceClient::LoadDocument(const std::string& url) {
    return OnManager([&](CJobManager& m) { return m.LoadDocument(url.c_str()); });
}

ServiceResult CDownloadServiceClient::SetServiceKey(const std::string& key) {
    return OnManager([&](CJobManager& m) { return m.SetServiceKey(key.c_str()); });
}

bool CDownloadServiceClient::FetchDocument(std::string* bytes) {
    bytes->clear();
    // The document functions do not look for the service themselves.
    if (!GetServiceJobManager()) return false;
    std::int64_t size = 0;
    if (::GetDocumentSize(&size) != kResultOk) return false;
    if (size <= 0) return true;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    DocumentRecord record;
    record.data = buffer.data();
    record.length = size;
    if (::GetDocument(&record) != kResultOk) return false;
    bytes->assign(buffer.data(), buffer.size());
    return true;
}

std::string CDownloadServiceClient::SizeCheckFailure() {
    CJobManager* manager = GetServiceJobManager();
    return manager ? manager->SizeCheckFailure() : std::string();
}

std::string CDownloadServiceClient::DocumentFailure() {
    CJobManager* manager = GetServiceJobManager();
    return manager ? manager->DocumentFailure() : std::string();
}

bool CDownloadServiceClient::AddSizeCheckUrl(const std::string& url) {
    CJobManager* manager = GetServiceJobManager();
    CContentLengthChecker* checker = manager ? manager->EnsureContentLengthChecker() : nullptr;
    return checker && checker->AddUrl(url.c_str()) == kResultOk;
}

void CDownloadServiceClient::StartSizeCheck() {
    CJobManager* manager = GetServiceJobManager();
    if (CContentLengthChecker* checker = manager ? manager->EnsureContentLengthChecker() : nullptr)
        checker->Start();
}

std::int64_t CDownloadServiceClient::SizeCheckTotal() {
    std::int64_t total = 0;
    if (CJobManager* manager = GetServiceJobManager()) manager->CheckedTotal(&total);
    return total;
}

ServiceResult CDownloadServiceClient::CreateJob(CJob** job, const std::string& serviceKey) {
    return OnManager([&](CJobManager& m) { return m.CreateJob(job, serviceKey.c_str()); });
}

ServiceResult CDownloadServiceClient::SetJobEngineFlag(CJob* job) {
    return OnManager([&](CJobManager& m) { return m.SetJobEngineFlag(job); });
}

ServiceResult CDownloadServiceClient::AddJobFile(CJob* job, const std::string& url,
                                                 const std::string& folder) {
    return OnManager(
        [&](CJobManager& m) { return m.AddJobFile(job, url.c_str(), folder.c_str()); });
}

ServiceResult CDownloadServiceClient::StartJob(CJob* job, std::int32_t speedFlag) {
    return OnManager([&](CJobManager& m) { return m.StartJob(job, speedFlag); });
}

ServiceResult CDownloadServiceClient::StopJob(CJob* job) {
    return OnManager([&](CJobManager& m) { return m.StopJob(job); });
}

ServiceResult CDownloadServiceClient::RemoveJob(CJob* job) {
    return OnManager([&](CJobManager& m) { return m.RemoveJob(job); });
}

ServiceResult CDownloadServiceClient::AnswerResume(CJob* job, bool continueEarlier,
                                                   bool applyToAll) {
    return OnManager([&](CJobManager& m) {
        return m.AnswerResume(job, continueEarlier ? 1 : 0, applyToAll ? 1 : 0);
    });
}

ServiceResult CDownloadServiceClient::GetJobStartInfo(CJob* job, JobStartInfo* out) {
    return OnManager([&](CJobManager& m) { return m.GetJobStartInfo(job, out); });
}

ServiceResult CDownloadServiceClient::GetJobProgress(CJob* job, JobProgress* out) {
    return OnManager([&](CJobManager& m) { return m.GetJobProgress(job, out); });
}

ServiceResult CDownloadServiceClient::PopJobFileEvent(CJob* job, JobFileEvent* out) {
    return OnManager([&](CJobManager& m) { return m.PopJobFileEvent(job, out); });
}

ServiceResult CDownloadServiceClient::GetJobCompletion(CJob* job, JobCompletion* out) {
    return OnManager([&](CJobManager& m) { return m.GetJobCompletion(job, out); });
}

ServiceResult CDownloadServiceClient::PopJobMessage(CJob* job, std::int32_t* code,
                                                    std::string* text) {
    *code = kResultOk;
    text->clear();
    return OnManager([&](CJobManager& m) {
        std::uint32_t length = 0;
        ServiceResult result = m.PeekJobMessageLength(job, &length);
        if (result != kResultOk) return result;
        std::vector<char> buffer(length);
        result = m.PopJobMessage(job, code, length ? buffer.data() : nullptr, length);
        if (length) text->assign(buffer.data());
        return result;
    });
}

ServiceResult CDownloadServiceClient::GetRemainingBytes(CJob* job, std::int64_t* count) {
    return ::GetRemainingBytes(job, count);
}
