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
// One fetch: the response must be 200 with a positive Content-Length of at
// most kMaxDocumentBytes (the body goes into a buffer of exactly that length)
// or a chunked body, decoded and held to the same bound; then the listener
// hears OnDocumentComplete. A body in a content coding (gzip) is refused.
// Redirects are followed as the exchange cursor allows (at most
// kMaxRedirects, each one an attempt; transfers/http_exchange_cursor.h).
// While a fetch runs, the listener hears OnDocumentTick once a second.
// Every failure is reported once, with a reason code below and a text
// (FailureText), and leaves no document behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/http_client_interfaces.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/http_exchange_cursor.h"

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
// A status other than 200/302/303, a length that is missing, 0 or above the
// cap, a redirect without Location, or too many redirects.
inline constexpr int kDocumentBadResponse = 4;
inline constexpr int kDocumentIdleTimeout = 5;
// The connection closed before the whole announced body arrived (also when
// the URL could not be opened at all).
inline constexpr int kDocumentClosedEarly = 6;
inline constexpr int kDocumentHostUnreachable = 7;

class CDataDownloadSession final : public nwIHttpClientExEventListener, public IDocumentSource {
public:
    // The file list is a few kilobytes; anything above this is not one and
    // would only cost memory.
    static constexpr std::int64_t kMaxDocumentBytes = 16 * 1024 * 1024;
    // A redirect loop must end somewhere; real chains are one or two long.
    static constexpr int kMaxRedirects = 20;
    static constexpr std::uint32_t kTimeoutSeconds = 4;
    static constexpr std::uint32_t kTickMs = 1000;

    explicit CDataDownloadSession(IDataDownloadSessionEventListener* listener);
    ~CDataDownloadSession() override;
    CDataDownloadSession(const CDataDownloadSession&) = delete;
    CDataDownloadSession& operator=(const CDataDownloadSession&) = delete;

    // Stores the document URL and forgets any redirect target.
    void SetUrl(const char* url);
    // Starts fetching the redirect target when one is stored, else the URL.
    // A fetch still running is dropped first, without a report.
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

    bool Fetching() const { return static_cast<bool>(connection_); }
    bool Ticking() const { return static_cast<bool>(tickTimer_); }
    // The address a redirect sent the fetch to ("" when none did).
    std::string RedirectTarget() const;

    // nwIHttpClientExEventListener
    void OnConnected(std::uint32_t value) override;
    void OnHeaderReceived(std::uint32_t value) override;
    std::int32_t OnBodyData(std::uint32_t value, const void* data, std::int32_t length) override;
    void OnComplete(std::uint32_t value) override;
    void OnSendReady(std::uint32_t value) override;
    void OnClosed(std::uint32_t value) override;
    void OnConnectFailed(std::uint32_t value) override;
    void OnIdleTimeout(std::uint32_t value) override;
    void OnHostUnreachable(std::uint32_t value) override;

private:
    static void OnTickTimer(void* self);
    // Opens the connection to the cursor's URL (the fetch's next request).
    void Request();
    void OnStatusOk(vzIHttpClientExLayer* layer);
    void OnRedirect(int status, const std::string& location);
    // Stops, drops any partial document and reports `reason`, with `why`
    // as the failure text.
    void Fail(bool abort, int reason, std::string why);
    void DropDocument();

    IDataDownloadSessionEventListener* listener_;
    std::vector<char> buffer_;
    std::int64_t received_ = 0;
    std::int64_t announced_ = 0;  // -1 for a chunked body, whose length comes at its end
    bool complete_ = false;
    vzSmartPtr tickTimer_;
    vzSmartPtr connection_;
    std::string url_;
    CHttpExchangeCursor cursor_;
    std::string failure_;
};
