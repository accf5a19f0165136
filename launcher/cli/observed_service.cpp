#include "launcher/cli/observed_service.h"

#include "service/base/status_codes.h"

std::optional<ObservedJobMessage> ObservedServiceClient::TakeJobMessage() {
    std::optional<ObservedJobMessage> taken = std::move(jobMessage_);
    jobMessage_.reset();
    return taken;
}

std::vector<std::string> ObservedServiceClient::TakeFinishedFiles() {
    std::vector<std::string> taken = std::move(finishedFiles_);
    finishedFiles_.clear();
    return taken;
}

ServiceResult ObservedServiceClient::StartJob(CJob* job, std::int32_t speedFlag) {
    // Before the start, the job is held by nobody: the answer is only kept
    // with it (516), which is what is wanted.
    if (upFrontAnswer_) (void)inner_.AnswerResume(job, *upFrontAnswer_, true);
    const ServiceResult result = inner_.StartJob(job, speedFlag);
    if (result == kResultOk) jobStarted_ = true;
    return result;
}

ServiceResult ObservedServiceClient::PopJobFileEvent(CJob* job, JobFileEvent* out) {
    const ServiceResult result = inner_.PopJobFileEvent(job, out);
    if (!out->text.empty()) finishedFiles_.push_back(out->text);
    return result;
}

ServiceResult ObservedServiceClient::PopJobMessage(CJob* job, std::int32_t* code,
                                                   std::string* text) {
    const ServiceResult result = inner_.PopJobMessage(job, code, text);
    if (*code != kResultOk) jobMessage_ = ObservedJobMessage{*code, *text};
    return result;
}
