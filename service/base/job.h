// One download job: its files, the progress record, and the event data
// that waits for the user interface to fetch it after each posted event.
// Touched only under the service lock.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/window.h"
#include "service/base/job_records.h"

inline constexpr std::size_t kServiceKeyMax = 32;

// One file of a job.
struct JobFileEntry {
    std::int32_t index = 0;  // the job's file count before this file was added
    std::string url;         // trimmed; "|" separates alternative URLs
    std::string folder;      // native separators, ends with one separator
    std::string localName;   // the URL's text after its last "/"
    std::string serviceKey;
    std::int64_t remoteSize = -1;
    std::int64_t bytesWritten = 0;  // in this run
    std::int64_t bytesOnDisk = 0;   // when the file was opened
    std::int32_t option1 = 1;       // the file's two option bytes for the engine
    std::int32_t option2 = 0;
    std::int32_t state = 0;  // 0 pending, 2 completed

    std::string FullPath() const { return folder + localName; }
};

// kJobWaiting: held by its downloader, which waits to try again after the
// network or the server failed it (no progress events meanwhile).
enum JobState : std::int32_t { kJobIdle = 0, kJobRunning = 1, kJobCompleted = 2, kJobWaiting = 3 };

class CJob {
public:
    CJob(std::int32_t id, std::string serviceKey, plat::Hwnd notifyWindow);
    virtual ~CJob() = default;
    CJob(const CJob&) = delete;
    CJob& operator=(const CJob&) = delete;

    // Adds a file; `folder` is already normalised. False when a file with the
    // same folder and local name (compared without case) exists.
    bool AddFile(std::string url, std::string folder, std::string localName);
    static std::string PathKey(const std::string& folder, const std::string& localName);

    // Notifications from the job downloaders (worker thread, under the lock).
    void NotifyStart(std::int32_t fileCount, std::int64_t totalSize);
    void NotifyFileCompleted(const std::string& path, const char* alternateText,
                             const std::string& url);
    void NotifyCompleted(std::int32_t completedFiles);
    void AddMessage(std::int32_t code, const char* text);
    void NotifyResumePrompt();
    void SetProgress(const JobProgress& progress) { progress_ = progress; }

    // Getters for the entry points; each takes the data it hands out.
    std::optional<JobStartInfo> TakeStartInfo();
    std::optional<JobCompletion> TakeCompletion();
    std::optional<JobFileEvent> PopFileEvent();
    // 0 when there is no message or it has no text, else text length + 1.
    std::uint32_t PeekMessageLength() const;
    // Returns the oldest message's code and text and removes it; nullopt when empty.
    std::optional<std::pair<std::int32_t, std::string>> PopMessage();

    void PostEvent(int event) const;

    std::int32_t Id() const { return id_; }
    std::int32_t State() const { return state_; }
    void SetState(std::int32_t state) { state_ = state; }
    std::int32_t SpeedFlag() const { return speedFlag_; }
    void SetSpeedFlag(std::int32_t flag) { speedFlag_ = flag; }
    // The user's answer to "continue what is already on disk?" (the resume
    // prompt, or the terminal program's --resume): unset until answered;
    // false means every file of the job starts over, on either path.
    void SetResumeAnswer(bool continueEarlier) { resumeContinue_ = continueEarlier; }
    std::optional<bool> ResumeAnswer() const { return resumeContinue_; }
    bool EngineFlag() const { return engineFlag_; }
    void SetEngineFlag() { engineFlag_ = true; }
    std::int32_t EngineJobNumber() const { return engineJobNumber_; }
    void SetEngineJobNumber(std::int32_t n) { engineJobNumber_ = n; }
    const std::string& ServiceKey() const { return serviceKey_; }
    const std::string& DownloadFolder() const { return downloadFolder_; }
    const JobProgress& Progress() const { return progress_; }
    const std::vector<std::unique_ptr<JobFileEntry>>& Files() const { return files_; }
    std::size_t FileCount() const { return files_.size(); }
    std::size_t QueuedFileEvents() const { return fileEvents_.size(); }
    std::size_t QueuedMessages() const { return messages_.size(); }

private:
    struct Message {
        std::int32_t code;
        std::optional<std::string> text;
    };

    std::vector<std::unique_ptr<JobFileEntry>> files_;
    std::unordered_map<std::string, JobFileEntry*> pathMap_;
    std::int32_t state_ = kJobIdle;
    std::int32_t speedFlag_ = 1;
    JobProgress progress_{};
    std::string serviceKey_;
    plat::Hwnd notifyWindow_ = nullptr;
    std::unique_ptr<JobStartInfo> pendingStart_;
    std::unique_ptr<JobCompletion> pendingCompletion_;
    std::int32_t id_ = 0;
    std::int32_t engineJobNumber_ = 0;
    std::deque<JobFileEvent> fileEvents_;
    std::deque<Message> messages_;
    std::int32_t lastFileEventId_ = 0;
    bool engineFlag_ = false;
    std::optional<bool> resumeContinue_;
    std::string downloadFolder_;
};
