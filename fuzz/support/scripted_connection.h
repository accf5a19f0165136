// A connection without a socket for fuzzing one protocol layer in-process.
//
// It holds the layer the way cpCQoSContext does (a reference through the
// layer's own interface, the layer's owner pointing back), collects what the
// layer sends, and feeds it scripted reads through the real receive buffer
// (transport/io_buffers.h) with the delivery rules of cpCQoSContext: the
// layer sees everything still held plus the new bytes, what it consumes is
// dropped, a negative count or one larger than what it was given closes the
// connection, and a buffer that grows to kMaxUnconsumed closes it too.
// Close from inside a listener shuts the layer down at once, as the real
// connection's Close does, so that the fuzzer also explores a listener that
// drops its connection in the middle of a delivery.
//
// Everything else of vzIQoSContext answers kTransportFail or does nothing:
// a layer under test never gets a TLS layer, a socket or pacing.
//
// One thread; the object lives on the fuzz target's stack for one input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/base/vz_smart_ptr.h"
#include "transport/io_buffers.h"
#include "transport/net_interfaces.h"

class FuzzConnection final : public vzIQoSContext {
public:
    // The real connection's bound on bytes its layers leave unconsumed.
    static constexpr std::uint32_t kMaxUnconsumed = 16u << 20;

    // `own` is the layer's own interface (it takes a reference), `stack` the
    // same object's layer face.
    FuzzConnection(vzIUnknown* own, nwIQoSNetStack* stack);
    ~FuzzConnection() override;
    FuzzConnection(const FuzzConnection&) = delete;
    FuzzConnection& operator=(const FuzzConnection&) = delete;

    // The connect completed: the layer hears OnConnected.
    void Connected();
    // One read of the socket. False once the connection is closed.
    bool Receive(std::string_view bytes);
    // The peer closed: the layer is shut down (if it still runs).
    void PeerClosed() { Shutdown(); }

    bool IsClosed() const { return closed_; }
    // Closed because of the bytes it received (a negative or overlong
    // count, or too much left unconsumed), not by a listener or the peer.
    bool ClosedByInput() const { return closedByInput_; }
    std::uint32_t Held() const { return receive_.Held(); }
    const std::string& Sent() const { return sent_; }

    // vzIUnknown: the object lives on the stack; counts are not needed.
    vzStatus AddRef() override { return kVzOk; }
    vzStatus Release() override { return kVzOk; }
    vzStatus QueryInterface(std::uint32_t, void** out) override;

    // vzIQoSContext
    vzStatus Open(int, std::uint32_t, cpSocketRecord*) override { return kTransportFail; }
    vzStatus SetRate(int, const std::uint32_t*) override { return kTransportFail; }
    vzStatus GetReceiveBudgetLeft(std::uint32_t*) override { return kTransportFail; }
    vzStatus LimitReceiveBudget(std::uint32_t) override { return kTransportFail; }
    vzStatus SetActionType(int) override { return kTransportFail; }
    vzStatus SetFlags(std::uint32_t flags) override;
    vzStatus AddFlags(std::uint32_t flags) override;
    vzStatus RemoveFlags(std::uint32_t flags) override;
    vzStatus SetOption(int, const std::uint32_t*) override { return kTransportFail; }
    vzStatus GetState(int* state) override;
    vzStatus Connect(const cpSocketAddress&) override { return kTransportFail; }
    vzStatus SendFrom(nwIQoSNetStack* layer, const cpBuffer& buffer) override;
    vzStatus AddLayer(std::uint32_t, bool) override { return kTransportFail; }
    vzStatus FindLayer(std::uint32_t, vzIUnknown**) override { return kTransportFail; }
    vzStatus ResumeEvents() override { return kTransportFail; }
    vzStatus RegisterHandler(std::uint16_t, std::uint32_t, nwFramedCallback, void*) override {
        return kTransportFail;
    }
    vzStatus SetPeerAddress(const cpSocketAddress&) override { return kTransportFail; }
    vzStatus GetPeerAddress(const cpSocketAddress**) override { return kTransportFail; }
    vzStatus Close() override;
    vzStatus PostClose() override;
    vzIUnknown* GetTopLayer() override { return own_.Get(); }
    vzStatus ConnectedFrom(nwIQoSNetStack*) override { return kTransportFail; }
    std::int32_t DeliverUp(nwIQoSNetStack*, const void*, std::int32_t) override { return 0; }
    vzStatus GetSendBuffer(const void**, std::uint32_t*) override { return kTransportFail; }
    vzStatus SendRaw(const void*, std::uint32_t) override { return kTransportFail; }
    vzStatus GetReceiveRate(std::int64_t* rate) override;
    vzStatus GetSendRate(std::int64_t* rate) override;
    vzStatus GetQueuedBytes(std::uint32_t* count) override;
    vzStatus GetHostName(const char**) override { return kTransportFail; }
    vzStatus SetHostName(const char*) override { return kTransportFail; }
    vzStatus MarkAddressGood() override { return kTransportOk; }
    vzStatus MarkAddressBad() override { return kTransportOk; }
    vzStatus RestartWatches() override { return kTransportOk; }

private:
    void Deliver();
    void Shutdown();

    vzSmartPtr own_;
    nwIQoSNetStack* stack_;
    cpReceiveBuffer receive_;
    std::string sent_;
    std::uint32_t flags_ = 0;
    int delivering_ = 0;
    bool closePosted_ = false;
    bool closed_ = false;
    bool closedByInput_ = false;
};
