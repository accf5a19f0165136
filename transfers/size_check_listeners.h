// Reports of the job's size check: the totals of a job's files, and the
// listener face between the checker and the direct downloader. All calls
// run with the service lock held: on the worker thread, except the first
// check, which starts from an entry point on the caller's thread.
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
    // failure. `text` names the file's URL field and the cause.
    virtual void OnSizeCheckFailed(void* context, int code, const std::string& text) = 0;

protected:
    ~ICheckerEventListener() = default;
};
