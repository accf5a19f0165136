// The three faces through which job downloaders, the document session and
// the content-length checker report to the job manager. All calls arrive on
// the worker thread with the service lock held.
#pragma once

#include <cstdint>

class CJob;

class IJobDownloadEventListener {
public:
    virtual void OnEngineUpdateInfo(const char* text, std::int32_t a, std::int32_t b) = 0;
    virtual void OnEngineUpdateProgress(std::int32_t a, std::int32_t b, std::int32_t c) = 0;
    virtual void OnEngineReady() = 0;
    virtual void OnEngineUnavailable() = 0;
    virtual void OnEngineFailed() = 0;
    virtual void OnJobToDirect(CJob* job) = 0;
    // kind 1: the engine path is not accessible; kind 2: the download path.
    virtual void OnPathAccessFailed(int kind) = 0;

protected:
    ~IJobDownloadEventListener() = default;
};

class IDataDownloadSessionEventListener {
public:
    virtual void OnDocumentComplete() = 0;
    virtual void OnDocumentFailed(int reason) = 0;
    virtual void OnDocumentTick() = 0;

protected:
    ~IDataDownloadSessionEventListener() = default;
};

class IContentLengthCheckerEventListener {
public:
    virtual void OnLengthsKnown() = 0;
    virtual void OnLengthCheckFailed() = 0;
    virtual void OnLengthCheckAborted() = 0;

protected:
    ~IContentLengthCheckerEventListener() = default;
};

// What the job manager needs of the content-length checker: the sum it
// has found so far.
class IContentLengthTotal {
public:
    virtual ~IContentLengthTotal() = default;
    virtual std::int64_t TotalBytes() const = 0;
};

// What the job manager needs of the document session: the fetched bytes.
class IDocumentSource {
public:
    virtual ~IDocumentSource() = default;
    // The whole document, or an empty view while there is none.
    virtual const char* DocumentData() const = 0;
    virtual std::int64_t DocumentLength() const = 0;
    // Starts fetching `url` into memory; completion arrives through the listener.
    virtual void Fetch(const char* url) = 0;
};
