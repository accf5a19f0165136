#include "curl_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "curl_policy.h"
#include "engine_log.h"
#include "job_paths.h"
#include "piece_state.h"
#include "transfer_policy.h"

namespace engine {
namespace {

constexpr std::int64_t kRetryStepMs = 500;
constexpr long kConnectTimeoutSeconds = 15;
// libcurl's receive buffer: 1/50 of the cap, within these bounds.
constexpr std::int64_t kMinReceiveBufferBytes = 16 * 1024;
constexpr std::int64_t kMaxReceiveBufferBytes = 512 * 1024;

// 4xx answers other than time-out and rate limiting will come again.
bool IsPermanentHttpError(long code) {
    return code >= 400 && code < 500 && code != 408 && code != 429;
}

// Errors that another attempt at the same address cannot cure.
bool IsPermanentCurlError(CURLcode result) {
    switch (result) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_COULDNT_RESOLVE_HOST:
            return true;
        default:
            return false;
    }
}

}  // namespace

CurlTransfer::CurlTransfer(TransferId id, const TransferRequest& request,
                           ITransferListener* listener, CURLM* multi, EngineLog* log)
    : id_(id), request_(request), listener_(listener), multi_(multi), log_(log) {
    easy_ = curl_easy_init();
    // No content coding: the bytes on disk must be the bytes announced.
    headers_ = curl_slist_append(nullptr, "Accept-Encoding: identity");
}

CurlTransfer::~CurlTransfer() {
    if (inMulti_) curl_multi_remove_handle(multi_, easy_);
    if (easy_) curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
    CloseFile();
}

void CurlTransfer::CloseFile() {
    // What arrived is kept, also when the transfer is cancelled.
    if (fd_ >= 0) (void)FlushPending(true);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
}

void CurlTransfer::Finish(Outcome outcome, const std::string& reason) {
    if (inMulti_) curl_multi_remove_handle(multi_, easy_);
    inMulti_ = false;
    CloseFile();
    phase_ = Phase::kDone;
    outcome_ = outcome;
    reason_ = reason;
}

void CurlTransfer::Begin(std::int64_t nowMs) {
    if (!easy_ || !headers_) return Finish(Outcome::kFailed, "cannot set up a transfer");
    source_ = 0;
    StartSource(nowMs);
}

void CurlTransfer::StartSource(std::int64_t nowMs) {
    if (source_ >= request_.urls.size())
        return Finish(Outcome::kFailed, "no source worked (last: " + lastError_ + ")");
    if (!HasHttpScheme(request_.urls[source_]))
        return NextSource("not an http or https address", nowMs);
    attempt_ = 1;
    StartProbe();
}

void CurlTransfer::NextSource(const std::string& why, std::int64_t nowMs) {
    log_->Line("Source %.200s given up: %s", request_.urls[source_].c_str(), why.c_str());
    lastError_ = why;
    ++source_;
    StartSource(nowMs);
}

void CurlTransfer::Retry(const std::string& why, std::int64_t nowMs) {
    lastError_ = why;
    if (attempt_ >= transfer_policy::kAttemptsPerAddress) return NextSource(why, nowMs);
    log_->Line("Attempt %d at %.200s failed: %s", attempt_, request_.urls[source_].c_str(),
               why.c_str());
    phase_ = Phase::kWaiting;
    dueAtMs_ = nowMs + kRetryStepMs * attempt_;
    ++attempt_;
}

std::int64_t CurlTransfer::DueAtMs() const {
    if (phase_ == Phase::kWaiting) return dueAtMs_;
    if (paused_) return resumeAtMs_;
    return -1;
}

void CurlTransfer::OnTimer(std::int64_t nowMs) {
    if (phase_ == Phase::kWaiting && nowMs >= dueAtMs_) return StartProbe();
    if (paused_ && nowMs >= resumeAtMs_) {
        paused_ = false;
        // May deliver the held-back data at once, from inside this call.
        curl_easy_pause(easy_, CURLPAUSE_CONT);
    }
}

void CurlTransfer::SetCommonOptions() {
    curl_easy_reset(easy_);
    curl_easy_setopt(easy_, CURLOPT_PRIVATE,
                     reinterpret_cast<void*>(static_cast<std::uintptr_t>(id_)));
    curl_easy_setopt(easy_, CURLOPT_URL, request_.urls[source_].c_str());
    ApplyCurlPolicy(easy_, kConnectTimeoutSeconds, errorBuffer_);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, transfer_policy::kLowSpeedBytes);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, transfer_policy::kLowSpeedSeconds);
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlTransfer::HeaderCallback);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    errorBuffer_[0] = '\0';
    contentRangeStart_ = -1;
    contentRangeTotal_ = -1;
}

void CurlTransfer::Submit() {
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK)
        return Finish(Outcome::kFailed, "cannot start a request");
    inMulti_ = true;
}

void CurlTransfer::StartProbe() {
    phase_ = Phase::kProbing;
    if (!request_.sizeOnly) {
        // A partial file the peer back end left may hold verified pieces
        // after holes: only what is whole from its start is continued.
        std::string note;
        if (!PrepareForHttpResume(request_.partPath, &note))
            return Finish(Outcome::kFailed, "cannot cut " + request_.partPath + " back");
        if (!note.empty()) log_->Line("%s: %s", request_.partPath.c_str(), note.c_str());
    }
    const long long part = request_.sizeOnly ? 0 : RegularFileSize(request_.partPath);
    held_ = part > 0 ? part : 0;
    SetCommonOptions();
    curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransfer::DiscardCallback);
    Submit();
}

void CurlTransfer::OnRequestDone(CURLcode result, std::int64_t nowMs) {
    if (inMulti_) curl_multi_remove_handle(multi_, easy_);
    inMulti_ = false;
    long code = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
    if (phase_ == Phase::kProbing) {
        if (result != CURLE_OK) {
            const std::string why = errorBuffer_[0] ? errorBuffer_ : curl_easy_strerror(result);
            return IsPermanentCurlError(result) ? NextSource(why, nowMs) : Retry(why, nowMs);
        }
        return AfterProbe(code, nowMs);
    }
    if (phase_ == Phase::kFetching) AfterFetch(result, code, nowMs);
}

void CurlTransfer::AfterProbe(long code, std::int64_t nowMs) {
    const std::string status = "HTTP " + std::to_string(code);
    if (code == 405 || code == 501) {
        remoteSize_ = -1;  // no HEAD here: the GET tells the size
    } else if (code >= 200 && code < 300) {
        curl_off_t length = -1;
        curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        remoteSize_ = length;
    } else if (code >= 400 && !IsPermanentHttpError(code)) {
        return Retry(status, nowMs);
    } else {
        return NextSource(status, nowMs);
    }
    if (request_.sizeOnly) return Finish(Outcome::kFetched, "");

    const long long existing = RegularFileSize(request_.finalPath);
    if (remoteSize_ >= 0 && existing == remoteSize_) {
        alreadyThere_ = true;
        held_ = existing;
        return Finish(Outcome::kFetched, "");
    }
    if (existing >= 0) {
        // Another size: not the announced file. It must not stand under the
        // final name while its replacement arrives.
        log_->Line("Replacing %s (%lld bytes, remote %lld)", request_.finalPath.c_str(), existing,
                   static_cast<long long>(remoteSize_));
        unlink(request_.finalPath.c_str());
    }
    if (remoteSize_ >= 0 && held_ >= remoteSize_) {
        if (held_ == remoteSize_) {
            if (!CompletePart()) return Finish(Outcome::kFailed, "cannot rename the partial file");
            return Finish(Outcome::kFetched, "");
        }
        log_->Line("Partial file %s is longer than the remote file; starting over",
                   request_.partPath.c_str());
        if (truncate(request_.partPath.c_str(), 0) != 0 && errno != ENOENT)
            return Finish(Outcome::kFailed, "cannot empty the partial file");
        held_ = 0;
    }
    StartFetch();
}

void CurlTransfer::StartFetch() {
    phase_ = Phase::kFetching;
    fd_ = open(request_.partPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        if (errno == ENOSPC || errno == EDQUOT)
            return Finish(Outcome::kDiskFull, "cannot create " + request_.partPath);
        return Finish(Outcome::kFailed,
                      "cannot open " + request_.partPath + ": " + std::strerror(errno));
    }
    struct stat st {};
    held_ = fstat(fd_, &st) == 0 ? st.st_size : 0;
    rangeStart_ = held_;
    syncedTo_ = held_;
    firstBody_ = true;
    paused_ = false;
    allowance_ = std::max<std::int64_t>(request_.maxBytesPerSecond / 8, 16 * 1024);
    allowanceAtMs_ = MonotonicMs();
    diskFull_ = false;
    writeFailed_ = false;
    SetCommonOptions();
    curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransfer::WriteCallback);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    // Large reads: each one is a pass of the loop, a write and a check of
    // the cap. The cap is ours alone (TakeAllowance); libcurl's own would
    // throttle the same bytes a second time in pieces of its own.
    // A slow cap keeps small reads, so its pauses stay short.
    const std::int64_t cap = request_.maxBytesPerSecond;
    const long buffer = cap > 0 ? static_cast<long>(std::clamp<std::int64_t>(
                                      cap / 50, kMinReceiveBufferBytes, kMaxReceiveBufferBytes))
                                : kMaxReceiveBufferBytes;
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, buffer);
    if (held_ > 0) {
        const std::string range = std::to_string(held_) + "-";
        curl_easy_setopt(easy_, CURLOPT_RANGE, range.c_str());  // copied by libcurl
    }
    Submit();
}

bool CurlTransfer::CompletePart() {
    // An empty remote file leaves no partial file behind; make one.
    const int fd = open(request_.partPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    close(fd);
    if (rename(request_.partPath.c_str(), request_.finalPath.c_str()) != 0) return false;
    return true;
}

void CurlTransfer::AfterFetch(CURLcode result, long code, std::int64_t nowMs) {
    const std::int64_t heldBefore = rangeStart_;
    if (fd_ >= 0) (void)FlushPending(true);  // a failure sets the flags read below
    if (result == CURLE_OK && fd_ >= 0) fdatasync(fd_);
    CloseFile();
    if (diskFull_) return Finish(Outcome::kDiskFull, "no space left for " + request_.partPath);
    // A request that moved the file on earns its source fresh attempts.
    if (held_ > heldBefore) attempt_ = 1;
    if (result == CURLE_OK) {
        if (remoteSize_ < 0) remoteSize_ = held_;
        if (held_ != remoteSize_)
            return Retry(
                "body ended at " + std::to_string(held_) + " of " + std::to_string(remoteSize_),
                nowMs);
        if (!CompletePart()) return Finish(Outcome::kFailed, "cannot rename the partial file");
        return Finish(Outcome::kFetched, "");
    }
    if (writeFailed_) {
        // The answer did not fit what was asked (wrong range, too long):
        // drop the partial data and try again from the start.
        if (truncate(request_.partPath.c_str(), 0) != 0)
            return Finish(Outcome::kFailed, "cannot empty the partial file");
        return Retry(lastError_, nowMs);
    }
    const std::string why = errorBuffer_[0] ? errorBuffer_ : curl_easy_strerror(result);
    if (result == CURLE_HTTP_RETURNED_ERROR) {
        if (code == 416 && rangeStart_ > 0) {
            if (truncate(request_.partPath.c_str(), 0) != 0)
                return Finish(Outcome::kFailed, "cannot empty the partial file");
            return Retry("range refused", nowMs);
        }
        return IsPermanentHttpError(code) ? NextSource(why, nowMs) : Retry(why, nowMs);
    }
    if (IsPermanentCurlError(result)) return NextSource(why, nowMs);
    Retry(why, nowMs);
}

}  // namespace engine
