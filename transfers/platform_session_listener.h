// What the ranged file session reports to the direct downloader. `context`
// is the downloader's per-job context given to the session. All calls run
// on the worker thread under the service lock (Begin may run on the
// caller's thread, under the same lock); the downloader may delete the
// session from inside any of them except OnProgress and OnFileOpened.
#pragma once

#include <cstdint>
#include <string>

#include "service/base/job.h"

// The session's copy of one file of the job.
struct SessionFile {
    JobFileEntry entry;           // remoteSize, bytesWritten, bytesOnDisk are live here
    std::int64_t runWritten = 0;  // bytes written to this file by this run
    // This run replaced the file from byte 0 (a start-over answer is then
    // satisfied, and later attempts continue what it wrote).
    bool replaced = false;
};

class IPlatFormSessionEventListener {
public:
    virtual void OnSessionComplete(void* context) = 0;
    // `text` names the file and the cause: "URL: why". `passing`: the cause
    // may pass (the network, a server down or busy: a later try may work),
    // not an answer that will come again (404, a file that cannot be
    // written).
    virtual void OnSessionFailed(void* context, const std::string& text, bool passing) = 0;
    virtual void OnFileCompleted(void* context, const SessionFile& file) = 0;
    virtual void OnProgress(void* context) = 0;
    virtual void OnFileOpened(const std::string& path, void* context) = 0;
    virtual void OnError(void* context, int code, const std::string& text) = 0;

protected:
    ~IPlatFormSessionEventListener() = default;
};
