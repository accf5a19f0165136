// CContentLengthCheckSession: finds the remote size of one file-list entry
// with HTTP GET requests, reading only the response head.
//
// Ownership: created and owned by CContentLengthChecker, one per URL field;
// the session owns its connection. The owner is not owned and must outlive
// the session. Destroying the session drops its connection.
//
// Thread: Probe and Reset run with the service lock held (the checker takes
// it on the caller's thread); the HTTP events arrive on the worker thread
// with the lock held.
//
// Attempts follow the exchange cursor (transfers/http_exchange_cursor.h):
// each alternative of the field gets kAttemptsPerUrl requests, redirects
// included; a retry follows another status, a close, a failed connect, an
// idle time-out, or an answer whose body is not the file (a content coding);
// an unreachable host moves to the next alternative at once. When none is
// left the owner hears OnProbeFailed (or OnProbeUnreachable).
//
// Every report to the owner is the last thing a session call does, so the
// owner may close the session from inside the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/http_client_interfaces.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/http_exchange_cursor.h"

class IContentLengthCheckSessionEventListener {
public:
    // The session's URL answered 200; `length` is its Content-Length (0
    // when the answer had none).
    virtual void OnLength(std::int32_t index, std::int64_t length) = 0;
    // Every alternative used up its attempts; `url` is the whole field.
    virtual void OnProbeFailed(std::int32_t index, const char* url) = 0;
    virtual void OnProbeUnreachable(std::int32_t index) = 0;

protected:
    ~IContentLengthCheckSessionEventListener() = default;
};

class CContentLengthCheckSession final : public nwIHttpClientExEventListener {
public:
    static constexpr int kAttemptsPerUrl = 3;
    static constexpr std::uint32_t kConnectTimeoutSeconds = 5;
    static constexpr std::uint32_t kIdleTimeoutSeconds = 3;

    CContentLengthCheckSession(IContentLengthCheckSessionEventListener* owner, std::int32_t index,
                               const std::string& urlField);
    ~CContentLengthCheckSession();
    CContentLengthCheckSession(const CContentLengthCheckSession&) = delete;
    CContentLengthCheckSession& operator=(const CContentLengthCheckSession&) = delete;

    // One attempt: takes it, and when every alternative is used up reports
    // the failure; otherwise sends a GET unless a request is already on its
    // way.
    void Probe();
    // Drops the connection; no report follows.
    void Close();
    // Back to the first alternative with no attempts made.
    void Reset();

    std::int32_t Index() const { return index_; }
    int Attempts() const { return cursor_.Attempts(); }
    // The alternative being probed.
    const std::string& Url() const { return cursor_.Alternative(); }
    // Where the next request goes when a redirect was followed ("" else).
    std::string RedirectAddress() const;
    std::int64_t LengthFound() const { return length_; }
    bool Connected() const { return static_cast<bool>(connection_); }
    // Why the last attempt failed.
    const std::string& LastFailure() const { return cursor_.LastFailure(); }

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
    // Drops the connection, notes why and makes the next attempt.
    void Retry(std::string reason);
    void Failed();

    std::int32_t index_;
    vzSmartPtr connection_;
    std::int64_t length_ = 0;
    std::string field_;
    CHttpExchangeCursor cursor_;
    IContentLengthCheckSessionEventListener* owner_;
};
