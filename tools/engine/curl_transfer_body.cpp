// The body side of CurlTransfer: libcurl's callbacks, which run inside
// curl_multi_perform on the loop thread, and the pacing of the receive cap.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "curl_transfer.h"
#include "engine_log.h"

namespace engine {

bool CurlTransfer::TakeAllowance(std::size_t length) {
    const std::int64_t cap = request_.maxBytesPerSecond;
    if (cap <= 0) return true;
    const std::int64_t burst = std::max<std::int64_t>(cap / 8, 16 * 1024);
    const std::int64_t now = MonotonicMs();
    allowance_ = std::min(burst, allowance_ + cap * (now - allowanceAtMs_) / 1000);
    allowanceAtMs_ = now;
    if (allowance_ < 0) {
        // Paused until the debt is paid and 50 ms of the cap are saved up:
        // resuming at zero would pause again at the very next read, a
        // wake-up of the loop for every piece of body.
        const std::int64_t saved = std::min(burst, cap / 20);
        paused_ = true;
        resumeAtMs_ = now + ((saved - allowance_) * 1000 + cap - 1) / cap;
        return false;
    }
    allowance_ -= static_cast<std::int64_t>(length);
    return true;
}

bool CurlTransfer::FlushPending(bool all) {
    const std::int64_t written = held_ - static_cast<std::int64_t>(pending_.size());
    // Whole aligned blocks only, unless everything must go: a write that
    // starts or ends inside a new page-cache folio makes the kernel zero the
    // rest of it first, and libcurl's reads end wherever the network did.
    const std::int64_t end = all ? held_ : held_ / kWriteAlignBytes * kWriteAlignBytes;
    if (end <= written) return true;
    const auto length = static_cast<std::size_t>(end - written);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n =
            pwrite(fd_, pending_.data() + done, length - done, written + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSPC || errno == EDQUOT) {
                diskFull_ = true;
            } else {
                lastError_ = std::string("write failed: ") + std::strerror(errno);
                writeFailed_ = true;
            }
            // Held is what the file holds: the rest is dropped, never a hole.
            held_ = written + static_cast<std::int64_t>(done);
            pending_.clear();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    pending_.erase(0, length);
    // The file is made durable before it gets its final name; starting the
    // write-back as the body arrives leaves that last sync little to wait for.
    const std::int64_t onDisk = written + static_cast<std::int64_t>(length);
    if (onDisk - syncedTo_ >= kWriteBackStepBytes) {
        (void)sync_file_range(fd_, syncedTo_, onDisk - syncedTo_, SYNC_FILE_RANGE_WRITE);
        syncedTo_ = onDisk;
    }
    return true;
}

size_t CurlTransfer::DiscardCallback(char*, size_t size, size_t count, void*) {
    return size * count;
}

size_t CurlTransfer::WriteCallback(char* data, size_t size, size_t count, void* self) {
    return static_cast<CurlTransfer*>(self)->OnBody(data, size * count);
}

size_t CurlTransfer::HeaderCallback(char* data, size_t size, size_t count, void* self) {
    static_cast<CurlTransfer*>(self)->OnHeader(data, size * count);
    return size * count;
}

void CurlTransfer::OnHeader(const char* data, size_t length) {
    const std::string line(data, length);
    if (strncasecmp(line.c_str(), "HTTP/", 5) == 0) {
        // A new response (after a redirect): forget the previous one's range.
        contentRangeStart_ = -1;
        contentRangeTotal_ = -1;
        return;
    }
    constexpr const char* kName = "content-range:";
    if (strncasecmp(line.c_str(), kName, std::strlen(kName)) != 0) return;
    long long first = -1, last = -1, total = -1;
    if (std::sscanf(line.c_str() + std::strlen(kName), " bytes %lld-%lld/%lld", &first, &last,
                    &total) >= 2) {
        contentRangeStart_ = first;
        contentRangeTotal_ = total;
    }
}

size_t CurlTransfer::OnBody(const char* data, size_t length) {
    if (!TakeAllowance(length)) return CURL_WRITEFUNC_PAUSE;
    if (firstBody_) {
        firstBody_ = false;
        long code = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
        if (code == 206) {
            if (contentRangeStart_ != rangeStart_) {
                lastError_ = "the server sent another range";
                writeFailed_ = true;
                return 0;
            }
            if (contentRangeTotal_ >= 0) remoteSize_ = contentRangeTotal_;
        } else {
            if (rangeStart_ > 0) {
                log_->Line("%.200s ignored the range; fetching all of it",
                           request_.urls[source_].c_str());
                if (ftruncate(fd_, 0) != 0) {
                    lastError_ = "cannot empty the partial file";
                    writeFailed_ = true;
                    return 0;
                }
                held_ = 0;
                rangeStart_ = 0;
            }
            curl_off_t announced = -1;
            curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
            if (announced >= 0) remoteSize_ = announced;
        }
    }
    if (remoteSize_ >= 0 && held_ + static_cast<std::int64_t>(length) > remoteSize_) {
        lastError_ = "more data than announced";
        writeFailed_ = true;
        return 0;
    }
    pending_.append(data, length);
    held_ += static_cast<std::int64_t>(length);
    fetched_ += length;
    if (!FlushPending(false)) return 0;
    listener_->OnBytes(id_, length);
    return length;
}

}  // namespace engine
