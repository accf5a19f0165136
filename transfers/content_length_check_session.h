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
// Attempts: each URL gets kAttemptsPerUrl requests, redirects (302, 303)
// and retries (another status, a close, a failed connect, an idle time-out)
// included. A field may hold alternatives separated by "|": the first is
// probed, and only when it is used up (or its host is unreachable) the next
// one gets its own attempts. When none is left the owner hears
// OnProbeFailed (or OnProbeUnreachable).
//
// Every report to the owner is the last thing a session call does, so the
// owner may close the session from inside the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/http_client_interfaces.h"
#include "service/base/vz_smart_ptr.h"

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

    // One attempt: counts it, and when the current URL has none left moves
    // to the next alternative or reports the failure; otherwise sends a GET
    // unless a request is already on its way.
    void Probe();
    // Drops the connection; no report follows.
    void Close();
    // Back to the first alternative with no attempts made.
    void Reset();

    std::int32_t Index() const { return index_; }
    int Attempts() const { return attempts_; }
    // The URL being probed: the current alternative.
    const std::string& Url() const { return alternatives_[current_]; }
    const std::string& RedirectAddress() const { return redirect_; }
    std::int64_t LengthFound() const { return length_; }
    bool Connected() const { return static_cast<bool>(connection_); }

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
    // Moves to the next alternative with fresh attempts; false at the last.
    bool NextAlternative();
    // Drops the connection and makes the next attempt.
    void Retry();

    int attempts_ = 0;
    std::int32_t index_;
    vzSmartPtr connection_;
    std::int64_t length_ = 0;
    std::string field_;
    std::vector<std::string> alternatives_;  // never empty
    std::size_t current_ = 0;
    std::string redirect_;
    IContentLengthCheckSessionEventListener* owner_;
};

// The non-empty alternatives of a URL field, trimmed of white space; a field
// without any gives one empty URL (which fails its attempts).
std::vector<std::string> SplitUrlAlternatives(const std::string& field);
