// Reports of the remote size probe: the totals of a job's files, and the
// listener faces between the probe sessions, the checker and the direct
// downloader. All calls run with the service lock held: on the worker thread,
// except the first check, which starts from an entry point on the caller's
// thread.
#pragma once

#include <cstdint>
#include <string>

struct SizeTotals {
    std::int64_t totalSize = 0;
    std::int64_t writtenBefore = 0;  // bytes written by earlier runs
    std::int32_t fileCount = 0;
};

class ICheckerEventListener {
public:
    virtual void OnSizeCheckCompleted(void* context, const SizeTotals& totals) = 0;
    // code 513: a file is larger than the free space for it; 517: any other
    // failure. `text` is the file's whole URL field.
    virtual void OnSizeCheckFailed(void* context, int code, const std::string& text) = 0;

protected:
    ~ICheckerEventListener() = default;
};

class CPlatformFileSizeCheckSession;

class IPlatformFileSizeCheckSessionEventListener {
public:
    virtual void OnProbeDone(CPlatformFileSizeCheckSession* session) = 0;
    virtual void OnProbeFailed(CPlatformFileSizeCheckSession* session, int code,
                               const std::string& text) = 0;

protected:
    ~IPlatformFileSizeCheckSessionEventListener() = default;
};
