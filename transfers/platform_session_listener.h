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
};

class IPlatFormSessionEventListener {
public:
    virtual void OnSessionComplete(void* context) = 0;
    virtual void OnSessionFailed(void* context, const std::string& url) = 0;
    virtual void OnFileCompleted(void* context, const SessionFile& file) = 0;
    virtual void OnProgress(void* context) = 0;
    virtual void OnFileOpened(const std::string& path, void* context) = 0;
    virtual void OnError(void* context, int code, const std::string& text) = 0;

protected:
    ~IPlatFormSessionEventListener() = default;
};
