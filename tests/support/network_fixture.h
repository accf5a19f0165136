// A network runtime on the test thread: the test pumps the message loop
// itself, so socket events and timers run exactly when it says. The test
// body holds the service lock throughout, as every caller of the network
// objects must (the socket window and the timers take it again, recursively,
// around each event they dispatch).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "http/http_client_layer.h"
#include "platform/kernel.h"
#include "platform/window.h"
#include "service/base/vz_smart_ptr.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/host_cache.h"
#include "transport/net_interfaces.h"
#include "transport/zel.h"

class NetworkTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Dispatches messages until `stop` holds; false after `ms` without it.
    template <class Stop>
    bool Pump(Stop stop, int ms = 10000) {
        std::int64_t end = plat::MonotonicMs() + ms;
        plat::Msg msg;
        while (!stop()) {
            if (plat::MonotonicMs() >= end) return false;
            if (plat::GetMessageFor(&msg, 10) == plat::WaitResult::kMessage)
                plat::DispatchMessage(msg);
        }
        return true;
    }
    void PumpFor(int ms) {
        Pump([] { return false; }, ms);
    }

    vzSmartPtr lock_;
    std::unique_ptr<CZel> zel_;
    std::unique_ptr<cpLockGuard> held_;
};

// One HTTP request through a connection and the HTTP client layer, recording
// every listener event and the body it consumed.
class HttpFetch : public nwIHttpClientExEventListener {
public:
    // actionType 1 unpaced; 6 with `rate` bytes per second of receive budget.
    explicit HttpFetch(int actionType = 1, std::uint32_t rate = 0, std::uint32_t flags = 5);
    ~HttpFetch();

    // Opens the URL and sends the GET; false when Open refused it.
    bool Start(const std::string& url,
               const std::vector<std::pair<std::string, std::string>>& headers = {});
    void Close();

    vzIQoSContext* Context() const { return context_.As<vzIQoSContext>(); }
    vzIHttpClientExLayer* Layer() const;
    int Count(const std::string& event) const;
    bool Ended() const { return Count("closed") > 0 || Count("complete") > 0; }

    std::vector<std::string> events;
    std::string body;
    int status = 0;
    std::int64_t contentLength = -1;
    std::int32_t consumeAtMost = -1;    // per OnBodyData; -1 takes everything
    std::vector<std::int32_t> offered;  // the length of every OnBodyData
    bool closeOnComplete = true;

    void OnConnected(std::uint32_t) override { events.push_back("connected"); }
    void OnHeaderReceived(std::uint32_t) override;
    std::int32_t OnBodyData(std::uint32_t, const void* data, std::int32_t length) override;
    void OnComplete(std::uint32_t) override;
    void OnSendReady(std::uint32_t) override { events.push_back("send-ready"); }
    void OnClosed(std::uint32_t) override { events.push_back("closed"); }
    void OnConnectFailed(std::uint32_t) override { events.push_back("connect-failed"); }
    void OnIdleTimeout(std::uint32_t) override { events.push_back("idle"); }
    void OnHostUnreachable(std::uint32_t) override { events.push_back("unreachable"); }

private:
    vzSmartPtr context_;
};
