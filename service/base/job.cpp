#include "service/base/job.h"

#include "platform/text.h"

CJob::CJob(std::int32_t id, std::string serviceKey, plat::Hwnd notifyWindow)
    : serviceKey_(std::move(serviceKey)), notifyWindow_(notifyWindow), id_(id) {
    if (serviceKey_.size() > kServiceKeyMax) serviceKey_.resize(kServiceKeyMax);
    pathMap_.reserve(17);
}

std::string CJob::PathKey(const std::string& folder, const std::string& localName) {
    return plat::AsciiLower(folder + localName);
}

bool CJob::AddFile(std::string url, std::string folder, std::string localName) {
    std::string key = PathKey(folder, localName);
    if (pathMap_.count(key)) return false;
    auto entry = std::make_unique<JobFileEntry>();
    entry->index = static_cast<std::int32_t>(files_.size());
    entry->url = std::move(url);
    entry->folder = std::move(folder);
    entry->localName = std::move(localName);
    entry->serviceKey = serviceKey_;
    downloadFolder_ = entry->folder;
    pathMap_.emplace(std::move(key), entry.get());
    files_.push_back(std::move(entry));
    return true;
}

void CJob::PostEvent(int event) const {
    if (notifyWindow_)
        plat::PostMessage(notifyWindow_, kServiceEventMessage, static_cast<plat::WParam>(event),
                          reinterpret_cast<plat::LParam>(this));
}

void CJob::NotifyStart(std::int32_t fileCount, std::int64_t totalSize) {
    if (state_ != kJobRunning || progress_.held != 0) return;
    pendingStart_ = std::make_unique<JobStartInfo>(JobStartInfo{fileCount, 0, totalSize});
    PostEvent(kEventJobStart);
}

void CJob::NotifyFileCompleted(const std::string& path, const char* alternateText,
                               const std::string& url) {
    auto it = pathMap_.find(plat::AsciiLower(path));
    if (it == pathMap_.end() || it->second->state == 2) return;
    it->second->state = 2;
    ++lastFileEventId_;
    JobFileEvent record;
    record.fileCount = progress_.fileCount;
    record.eventId = lastFileEventId_;
    record.text = url + "," + (alternateText && *alternateText ? std::string(alternateText) : path);
    fileEvents_.push_back(std::move(record));
    PostEvent(kEventFileCompleted);
}

void CJob::NotifyCompleted(std::int32_t completedFiles) {
    if (state_ == kJobRunning && progress_.held != 0) PostEvent(kEventJobProgress);
    state_ = kJobCompleted;
    pendingCompletion_ = std::make_unique<JobCompletion>(
        JobCompletion{static_cast<std::int32_t>(files_.size()), completedFiles, 0});
    PostEvent(kEventJobCompleted);
}

void CJob::AddMessage(std::int32_t code, const char* text) {
    Message message{code, std::nullopt};
    if (text && *text) message.text = std::string(text);
    messages_.push_back(std::move(message));
    PostEvent(kEventJobMessage);
}

void CJob::NotifyResumePrompt() {
    PostEvent(kEventResumePrompt);
}

std::optional<JobStartInfo> CJob::TakeStartInfo() {
    if (!pendingStart_) return std::nullopt;
    JobStartInfo info = *pendingStart_;
    pendingStart_.reset();
    return info;
}

std::optional<JobCompletion> CJob::TakeCompletion() {
    if (!pendingCompletion_) return std::nullopt;
    JobCompletion info = *pendingCompletion_;
    pendingCompletion_.reset();
    return info;
}

std::optional<JobFileEvent> CJob::PopFileEvent() {
    if (fileEvents_.empty()) return std::nullopt;
    JobFileEvent record = std::move(fileEvents_.front());
    fileEvents_.pop_front();
    return record;
}

std::uint32_t CJob::PeekMessageLength() const {
    if (messages_.empty() || !messages_.front().text) return 0;
    return static_cast<std::uint32_t>(messages_.front().text->size() + 1);
}

std::optional<std::pair<std::int32_t, std::string>> CJob::PopMessage() {
    if (messages_.empty()) return std::nullopt;
    Message message = std::move(messages_.front());
    messages_.pop_front();
    return std::make_pair(message.code, message.text.value_or(std::string()));
}
