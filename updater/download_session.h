// CDownloadSession: fetches one address of the engine update (the manifest,
// a digest file or an archive) into memory over its own connection, for the
// update downloader (CDownloader) that owns it.
//
// Each fetch is one exchange of the update role (transfers/http_exchange.h:
// redirects, proxy, the announced length enforced by the layer, no content
// coding, the low-speed watchdog, and the table's reaction to every
// failure), with two rules of its own: every address, redirect targets
// included, must be https (the update installs a program that runs as the
// user, so its bytes must come from the verified server), and the body must
// be announced and stay within the cap of its kind (manifest 1 MiB, digest
// file 64 KiB, archive 256 MiB), refused before anything is allocated. The body is copied into the session's own buffer
// as it arrives, so the connection never holds more than one read.
//
// Outcomes reach the owner once per fetch: OnSessionComplete when the whole
// body arrived and the entry took it (or the entry was finished without a
// body it could use), or OnSessionError with one of the codes below; a
// digest file that arrived makes the session go on to its entry's archive
// without a report. When manifests must be signed (manifest_signature.h),
// the manifest's signature is fetched next on the same session, and a
// manifest without a valid one ends with the code of an unusable manifest. An archive's size and
// progress are reported as they become known. An archive is not held in
// memory: it is written to its entry's file as it arrives (archive_download.h),
// and a try after one that failed its digests asks only for the bytes not
// verified yet (Range), or for none when all of them arrived.
//
// Thread: the service worker (HTTP events, timers) or the caller of the
// update downloader, always with the service lock held. The owner outlives
// its sessions; the entry outlives its fetch (the owner detaches it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/base/vz_smart_ptr.h"
#include "transfers/http_exchange.h"
#include "updater/download_file_list.h"

class CDownloadSession;

// Session error codes.
inline constexpr int kUpdateConnectFailed = 3;
// A status other than 200, no positive length, a length above the cap, a
// redirect that cannot be followed (not https, a loop), a content coding.
inline constexpr int kUpdateBadResponse = 4;
inline constexpr int kUpdateIdleTimeout = 5;
// Closed before the head, or before the whole announced body.
inline constexpr int kUpdateClosedEarly = 6;
inline constexpr int kUpdateHostUnreachable = 7;

struct DownloadResult {
    std::string url;
    std::int32_t kind = kDownloadNone;
    int code = 0;
};

class IDownloadSessionEventListener {
public:
    virtual void OnSessionConnected(CDownloadSession* session) = 0;
    virtual void OnSessionComplete(CDownloadSession* session, const DownloadResult& result) = 0;
    virtual void OnSessionError(CDownloadSession* session, int code) = 0;
    virtual void OnFileSize(CDownloadSession* session, const char* url, std::int64_t size) = 0;
    virtual void OnFileProgress(CDownloadSession* session, const char* url,
                                std::int64_t received) = 0;

protected:
    ~IDownloadSessionEventListener() = default;
};

// The largest body of each kind.
std::int64_t UpdateBodyCap(int kind);
// Test seam: caps every kind at `bytes` (0 restores the real caps).
void SetUpdateBodyCapForTesting(std::int64_t bytes);
// Test seam: every fetch's deadline is `ms` (0 restores the real ones).
void SetUpdateFetchDeadlineForTesting(std::int64_t ms);
// Test seam: the next `count` fetches end at once with session error `code`
// (as a host that cannot be reached would), without any connection.
void SetUpdateSessionFaultForTesting(int code, int count);

class CDownloadSession final : private IHttpExchangeSink {
public:
    static constexpr std::uint32_t kTimeoutSeconds = 4;
    // Whatever the server's pace, a fetch ends within its deadline (as an
    // idle time-out): a manifest, digest file or signature within 20 s, an
    // archive within 60 s or the time its length takes at 32 KiB/s, if
    // longer. A server that drips stays above the low-speed floor for ever.
    static constexpr std::int64_t kSmallFetchDeadlineMs = 20000;
    static constexpr std::int64_t kArchiveDeadlineMs = 60000;
    static constexpr std::int64_t kArchiveFloorBytesPerSecond = 32 * 1024;

    explicit CDownloadSession(IDownloadSessionEventListener* owner);
    ~CDownloadSession();
    CDownloadSession(const CDownloadSession&) = delete;
    CDownloadSession& operator=(const CDownloadSession&) = delete;

    // Attaches `entry` (not owned) and fetches its current address.
    void Attach(IProgressFile* entry) { entry_ = entry; }
    IProgressFile* Entry() const { return entry_; }
    void Detach() { entry_ = nullptr; }
    // Fetches the attached entry's current address; an empty one does
    // nothing. The outcome arrives later (a fault seam may report at once).
    void StartFetch();
    bool Busy() const { return busy_; }
    const std::string& Url() const { return url_; }
    // Why the last fetch failed, in words.
    const std::string& FailureText() const { return failure_; }

private:
    // IHttpExchangeSink
    bool OnRequest(HttpHeaders* headers) override;
    void OnConnected() override;
    HeadVerdict OnHead(const ExchangeHead& head) override;
    std::int32_t OnBody(const void* data, std::int32_t length) override;
    void OnEnd() override;
    void OnFailed(const ExchangeFailure& failure) override;

    // The archive is whole on disk: the entry checks and installs it, and
    // the owner hears how that ended.
    void FinishArchive();
    void StartDeadline(std::int64_t fromNowMs);
    void StopDeadline();
    static void OnDeadlineTick(void* self);
    // Ends the fetch with a session error: not busy, connection closed,
    // the owner told (last: it may destroy this session).
    void Fail(int code, std::string why);

    IDownloadSessionEventListener* owner_;
    CHttpExchange exchange_;
    std::string url_;
    std::vector<char> body_;
    // The manifest while its signature is fetched (when one is required).
    std::vector<char> manifest_;
    bool signatureStage_ = false;
    std::int64_t contentLength_ = 0;
    // Where an archive goes as it arrives (the entry's), and where the
    // current request's body begins in it.
    CArchiveDownload* archive_ = nullptr;
    std::int64_t rangeFrom_ = 0;
    IProgressFile* entry_ = nullptr;
    bool busy_ = false;
    std::int32_t kind_ = kDownloadNone;
    std::string failure_;
    vzSmartPtr deadlineTimer_;  // a cpCTimer while a fetch runs
    std::int64_t startedAtMs_ = 0;
    std::int64_t deadlineAtMs_ = 0;
};
