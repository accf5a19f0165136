// One file fetched over HTTP or HTTPS with libcurl: a size probe (HEAD),
// then a ranged GET that appends to the partial file, retried a few times
// per source and moving to the next source when one fails for good. The
// partial file becomes the final one only when its length is the remote
// size, so a final name never holds a partial file.
//
// Owned by CurlBackend; runs on the loop thread. Its easy handle lives in
// the backend's multi handle while a request is under way.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "transfer_backend.h"

namespace engine {

class EngineLog;

class CurlTransfer {
public:
    enum class Outcome { kRunning, kFetched, kFailed, kDiskFull };

    CurlTransfer(TransferId id, const TransferRequest& request, ITransferListener* listener,
                 CURLM* multi, EngineLog* log);
    // Takes its handle out of the multi handle and closes the partial file.
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    // Starts the first request.
    void Begin(std::int64_t nowMs);
    // The multi handle finished this transfer's request with `result`.
    void OnRequestDone(CURLcode result, std::int64_t nowMs);
    // Starts a retry whose time has come.
    void OnTimer(std::int64_t nowMs);
    // When a waiting retry or a paced pause ends, else -1.
    std::int64_t DueAtMs() const;

    Outcome Result() const { return outcome_; }
    const std::string& Reason() const { return reason_; }
    bool AlreadyThere() const { return alreadyThere_; }
    std::int64_t Size() const { return remoteSize_ >= 0 ? remoteSize_ : request_.expectedSize; }
    std::int64_t Held() const { return held_; }
    bool SizeOnly() const { return request_.sizeOnly; }
    // Body bytes written by this transfer, over every attempt.
    std::uint64_t Fetched() const { return fetched_; }
    ITransferListener* Listener() const { return listener_; }

private:
    enum class Phase { kIdle, kProbing, kFetching, kWaiting, kDone };

    static size_t WriteCallback(char* data, size_t size, size_t count, void* self);
    static size_t HeaderCallback(char* data, size_t size, size_t count, void* self);
    static size_t DiscardCallback(char* data, size_t size, size_t count, void* self);
    size_t OnBody(const char* data, size_t length);
    void OnHeader(const char* data, size_t length);

    void StartSource(std::int64_t nowMs);
    void StartProbe();
    void StartFetch();
    void AfterProbe(long code, std::int64_t nowMs);
    void AfterFetch(CURLcode result, long code, std::int64_t nowMs);
    // A failure that another attempt at the same source may cure.
    void Retry(const std::string& why, std::int64_t nowMs);
    // A failure that the same source will repeat; the next source, if any.
    void NextSource(const std::string& why, std::int64_t nowMs);
    bool CompletePart();
    // Writes what waits in pending_: the blocks that end on an aligned
    // offset, or all of it. False (flags set, held_ back to what the file
    // holds) when a write failed.
    bool FlushPending(bool all);
    // Paces the body to the receive cap; false when the transfer must
    // pause until resumeAtMs_.
    bool TakeAllowance(std::size_t length);
    void SetCommonOptions();
    void Submit();
    void Finish(Outcome outcome, const std::string& reason);
    void CloseFile();

    TransferId id_;
    TransferRequest request_;
    ITransferListener* listener_;
    CURLM* multi_;
    EngineLog* log_;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    bool inMulti_ = false;

    Phase phase_ = Phase::kIdle;
    Outcome outcome_ = Outcome::kRunning;
    std::string reason_;
    bool alreadyThere_ = false;
    std::size_t source_ = 0;
    int attempt_ = 0;
    std::int64_t dueAtMs_ = 0;
    std::string lastError_;

    std::int64_t remoteSize_ = -1;
    std::int64_t held_ = 0;        // bytes in the partial file
    std::uint64_t fetched_ = 0;    // body bytes written by this transfer
    std::int64_t rangeStart_ = 0;  // where this request's body begins
    int fd_ = -1;
    // Body bytes held back until they fill an aligned block of the file.
    static constexpr std::int64_t kWriteAlignBytes = 256 * 1024;
    std::string pending_;
    // Where the write-back of the file was last started, and how often.
    static constexpr std::int64_t kWriteBackStepBytes = 16 * 1024 * 1024;
    std::int64_t syncedTo_ = 0;
    bool firstBody_ = true;
    bool diskFull_ = false;
    bool writeFailed_ = false;
    // From the response headers of the current request.
    std::int64_t contentRangeStart_ = -1;
    std::int64_t contentRangeTotal_ = -1;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    // The receive cap as a token bucket that may go into debt: a write
    // that finds it in debt pauses the transfer until the debt is paid.
    // libcurl's own cap alone lets a fast loopback burst of a megabyte
    // through before it reacts.
    std::int64_t allowance_ = 0;
    std::int64_t allowanceAtMs_ = 0;
    bool paused_ = false;
    std::int64_t resumeAtMs_ = 0;
};

}  // namespace engine
