// CDataDownloadSession: fetches one small document (the file list) into
// memory for the job manager's LoadDocument.
//
// Ownership: the job manager creates the session on the first LoadDocument
// and owns it until its own end; the session owns its document buffer, its
// tick timer and its connection. The listener (the job manager's document
// face) is not owned and must outlive the session.
//
// Thread: Fetch, Start and Stop run on the caller's thread from the entry
// point, the HTTP events and the tick on the worker thread; all of them with
// the service lock held.
//
// One fetch is one exchange of the file-list role (transfers/
// http_exchange.h: redirects, proxy, the reaction to every failure): the
// response must be 200 with a positive Content-Length of at most
// kMaxDocumentBytes (the body goes into a buffer of exactly that length) or
// a chunked body, decoded and held to the same bound; then the listener
// hears OnDocumentComplete. A body in a content coding (gzip) is refused.
// While a fetch runs, the listener hears OnDocumentTick once a second.
// Every failure is reported once, with a reason code below and a text
// (FailureText), and leaves no document behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "service/base/vz_smart_ptr.h"
#include "transfers/http_exchange.h"

// What the document session reports to its owner (the job manager, which
// posts events 522, 523 and 529). Calls arrive with the service lock held.
class IDataDownloadSessionEventListener {
public:
    virtual void OnDocumentComplete() = 0;
    virtual void OnDocumentFailed(int reason) = 0;
    virtual void OnDocumentTick() = 0;

protected:
    ~IDataDownloadSessionEventListener() = default;
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
    // Why the last fetch failed, in words ("HTTP 404", "the system is out of
    // file descriptors", ...); "" while none failed.
    virtual std::string FailureText() const = 0;
};

// Reasons given to IDataDownloadSessionEventListener::OnDocumentFailed.
inline constexpr int kDocumentConnectFailed = 3;
// A status other than 200 or a redirect, a length that is missing, 0 or
// above the cap, a redirect without Location, or too many redirects.
inline constexpr int kDocumentBadResponse = 4;
inline constexpr int kDocumentIdleTimeout = 5;
// The connection closed before the whole announced body arrived (also when
// the URL could not be opened at all, or the answer was no HTTP).
inline constexpr int kDocumentClosedEarly = 6;
inline constexpr int kDocumentHostUnreachable = 7;

class CDataDownloadSession final : private IHttpExchangeSink, public IDocumentSource {
public:
    // The file list is a few kilobytes; anything above this is not one and
    // would only cost memory.
    static constexpr std::int64_t kMaxDocumentBytes = 16 * 1024 * 1024;
    static constexpr std::uint32_t kTimeoutSeconds = 4;
    static constexpr std::uint32_t kTickMs = 1000;

    explicit CDataDownloadSession(IDataDownloadSessionEventListener* listener);
    ~CDataDownloadSession() override;
    CDataDownloadSession(const CDataDownloadSession&) = delete;
    CDataDownloadSession& operator=(const CDataDownloadSession&) = delete;

    // Stores the document URL.
    void SetUrl(const char* url);
    // Starts fetching the URL. A fetch still running is dropped first,
    // without a report.
    void Start();
    // Stops the tick and drops the connection; `abort` also marks the peer
    // address bad in the host cache. Reports nothing.
    void Stop(bool abort);

    // IDocumentSource: the completed document (null and 0 while none is).
    const char* DocumentData() const override;
    std::int64_t DocumentLength() const override;
    // SetUrl, then Start.
    void Fetch(const char* url) override;
    std::string FailureText() const override { return failure_; }

    bool Fetching() const { return exchange_.Running(); }
    bool Ticking() const { return static_cast<bool>(tickTimer_); }
    // The address a redirect sent the fetch to ("" when none did).
    std::string RedirectTarget() const { return exchange_.RedirectTarget(); }

private:
    static void OnTickTimer(void* self);
    // Stops, drops any partial document and reports `reason`, with `why`
    // as the failure text.
    void Fail(int reason, std::string why);
    void DropDocument();

    // IHttpExchangeSink
    bool OnRequest(HttpHeaders* headers) override;
    HeadVerdict OnHead(const ExchangeHead& head) override;
    std::int32_t OnBody(const void* data, std::int32_t length) override;
    void OnEnd() override;
    void OnFailed(const ExchangeFailure& failure) override;

    IDataDownloadSessionEventListener* listener_;
    std::vector<char> buffer_;
    std::int64_t received_ = 0;
    std::int64_t announced_ = 0;  // -1 for a chunked body, whose length comes at its end
    bool complete_ = false;
    vzSmartPtr tickTimer_;
    std::string url_;
    CHttpExchange exchange_;
    std::string failure_;
};
