// The records that jobs hand to the user interface through the getters.
#pragma once

#include <cstdint>
#include <string>

// Progress of one job, filled by its job downloader and read by the window.
struct JobProgress {
    std::int64_t total = 0;  // bytes of all files of the job
    std::int64_t held = 0;   // bytes held: on disk before the run plus written since
    std::int32_t fileCount = 0;
    std::int32_t filesDone = 0;
    std::int32_t rate = 0;     // bytes per second
    std::int64_t elapsed = 0;  // seconds since the transfer started
    std::int64_t left = 0;     // estimated seconds left
    std::int32_t percent = 0;
    std::int32_t currentIndex = 0;  // index of the current file
    std::int64_t currentSize = 0;
    std::int64_t currentHeld = 0;
    std::int64_t currentRate = 0;
    std::int64_t currentLeft = 0;
    std::int32_t currentPercent = 0;
    char currentName[66] = {};  // at most 65 characters, always NUL-terminated
};
static_assert(sizeof(JobProgress) == 160);

// Data of event 513: the sizes are known and the transfer starts.
struct JobStartInfo {
    std::int32_t fileCount = 0;
    std::int32_t reserved = 0;
    std::int64_t totalSize = 0;
};

// Data of event 516: the job completed.
struct JobCompletion {
    std::int32_t fileCount = 0;
    std::int32_t completedFiles = 0;
    std::int32_t zero = 0;
};

// Data of event 515: one file completed. The text is "URL,path" (or
// "URL,alternate text"); it is never truncated.
struct JobFileEvent {
    std::int32_t fileCount = 0;
    std::int32_t eventId = 0;
    std::string text;
};

// Service events, posted as message 0x2B10 with the code in wParam.
inline constexpr std::uint32_t kServiceEventMessage = 0x2B10;
enum ServiceEvent : int {
    kEventJobStart = 513,
    kEventJobProgress = 514,
    kEventFileCompleted = 515,
    kEventJobCompleted = 516,
    kEventJobMessage = 517,
    kEventEngineUpdateInfo = 518,
    kEventEngineUpdateProgress = 519,
    kEventEngineReady = 520,
    kEventEngineUnavailable = 521,
    kEventDocumentComplete = 522,
    kEventDocumentFailed = 523,
    kEventResumePrompt = 524,
    kEventLengthsKnown = 525,
    kEventLengthCheckFailed = 526,
    kEventEnginePathFailed = 527,
    kEventDownloadPathFailed = 528,
    kEventDocumentTick = 529,
};

// Reason codes of job messages (event 517).
enum JobMessageReason : int {
    kReasonDiskFull = 513,
    kReasonNetworkDown = 515,
    kReasonNetworkBack = 516,
    kReasonDownloadFailed = 517,
    kReasonMovedToDirect = 518,
    // The job waits while the download engine is brought up to date and
    // started; progress follows once it takes the job (or the job goes to
    // direct download).
    kReasonPreparingEngine = 519,
    // The transfer failed for a reason that passes (the network, a server
    // that is down or busy): the job waits and tries again by itself. The
    // text is MakeRetryText's: the seconds until the next try, then why.
    kReasonRetryWaiting = 520,
    // The wait is over: the job tries again.
    kReasonRetrying = 521,
};

// The text of message 520: "<seconds> <why>".
inline std::string MakeRetryText(std::int64_t seconds, const std::string& why) {
    return std::to_string(seconds) + " " + why;
}
// Reads MakeRetryText's text back; false for another text.
inline bool ParseRetryText(const std::string& text, std::int64_t* seconds, std::string* why) {
    std::size_t digits = 0;
    while (digits < text.size() && digits < 9 && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || (digits < text.size() && text[digits] != ' ')) return false;
    *seconds = std::stoll(text.substr(0, digits));
    *why = digits < text.size() ? text.substr(digits + 1) : std::string();
    return true;
}
