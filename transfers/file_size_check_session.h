// One remote size probe: a GET whose response head gives the file's length;
// the body is never read. Attempts follow the exchange cursor
// (transfers/http_exchange_cursor.h): each alternative URL of the file gets
// three requests, a redirect included; a bad status, or an answer that does
// not announce the file's size or sends something other than the file
// itself, fails the probe at once. Whether the files fit on the disk is the
// checker's question, asked once every size is known.
#pragma once

#include <string>
#include <vector>

#include "http/http_client_interfaces.h"
#include "service/base/job.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/http_exchange_cursor.h"
#include "transfers/size_check_listeners.h"

class CPlatformFileSizeCheckSession final : public nwIHttpClientExEventListener {
public:
    static constexpr int kAttemptsPerUrl = 3;
    static constexpr std::uint32_t kTimeoutSeconds = 3;

    // `entry` is the checker's probe entry; the session stores the size in it.
    CPlatformFileSizeCheckSession(IPlatformFileSizeCheckSessionEventListener* listener,
                                  JobFileEntry* entry);
    ~CPlatformFileSizeCheckSession();

    void SetUrls(const std::string& urlField);
    // One attempt on the current alternative (or the next one).
    void Probe();
    JobFileEntry* Entry() const { return entry_; }
    void SetListener(IPlatformFileSizeCheckSessionEventListener* listener) { listener_ = listener; }

    void OnConnected(std::uint32_t) override {}
    void OnHeaderReceived(std::uint32_t) override;
    std::int32_t OnBodyData(std::uint32_t, const void* data, std::int32_t length) override;
    void OnComplete(std::uint32_t) override {}
    void OnSendReady(std::uint32_t) override {}
    void OnClosed(std::uint32_t) override;
    void OnConnectFailed(std::uint32_t) override;
    void OnIdleTimeout(std::uint32_t) override;
    void OnHostUnreachable(std::uint32_t) override {}

private:
    void Fail(int code, const std::string& reason);
    void Retry(std::string reason);

    vzSmartPtr connection_;
    JobFileEntry* entry_;
    CHttpExchangeCursor cursor_;
    IPlatformFileSizeCheckSessionEventListener* listener_;
};
