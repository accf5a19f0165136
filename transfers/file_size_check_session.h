// One remote size probe: a GET whose response head gives the file's length,
// compared with the free space where the file will go; the body is never
// read. Each alternative URL of the file gets three attempts (a redirect
// uses one up); a bad status fails the probe at once.
#pragma once

#include <string>
#include <vector>

#include "http/http_client_interfaces.h"
#include "service/base/job.h"
#include "service/base/vz_smart_ptr.h"
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
    void Fail(int code);

    vzSmartPtr connection_;
    JobFileEntry* entry_;
    int attempts_ = 0;
    std::size_t alternative_ = 0;
    std::string currentUrl_;
    std::string redirect_;
    std::vector<std::string> alternatives_;
    IPlatformFileSizeCheckSessionEventListener* listener_;
};
