// cpCQoSContext: one TCP connection with its socket, send queue, receive
// buffer, state, time-outs, stack of protocol layers and pacing action.
//
// Ownership: the creator holds one reference; the connection table holds one
// while the socket is registered, so the context outlives its socket; the
// context owns its layers, action, timer and buffers. Layers point back to it
// without a reference.
//
// Thread: any thread with the service lock held (see net_interfaces.h); the
// socket window's and the timers' events come on the worker thread.
// Failures and close requests found inside a send, connect or tick path are
// never acted on in that path: they are queued as deferred events (message
// 0x409 to the socket window) and handled from the message loop once the
// current call chain has returned, so a layer never sees the context change
// under its feet.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "service/base/vz_smart_ptr.h"
#include "transport/connection_handlers.h"
#include "transport/cp_timer.h"
#include "transport/io_buffers.h"
#include "transport/net_interfaces.h"
#include "transport/qos_actions.h"

class cpCQoSContext final : public vzIQoSContext, public cpIConnectionHandlers {
public:
    cpCQoSContext();
    ~cpCQoSContext() override;

    // vzIUnknown (both faces share one interlocked count).
    vzStatus AddRef() override;
    vzStatus Release() override;
    vzStatus QueryInterface(std::uint32_t interfaceId, void** out) override;

    // vzIQoSContext
    vzStatus Open(int actionType, std::uint32_t flags, cpSocketRecord* record) override;
    vzStatus SetRate(int direction, const std::uint32_t* bytesPerSecond) override;
    vzStatus GetReceiveBudgetLeft(std::uint32_t* bytes) override;
    vzStatus LimitReceiveBudget(std::uint32_t bytes) override;
    vzStatus SetActionType(int type) override;
    vzStatus SetFlags(std::uint32_t flags) override;
    vzStatus AddFlags(std::uint32_t flags) override;
    vzStatus RemoveFlags(std::uint32_t flags) override;
    vzStatus SetOption(int option, const std::uint32_t* value) override;
    vzStatus GetState(int* state) override;
    vzStatus Connect(const cpSocketAddress& address) override;
    vzStatus SendFrom(nwIQoSNetStack* layer, const cpBuffer& buffer) override;
    vzStatus AddLayer(std::uint32_t classId, bool atBottom) override;
    vzStatus FindLayer(std::uint32_t classId, vzIUnknown** out) override;
    vzStatus ResumeEvents() override;
    vzStatus RegisterHandler(std::uint16_t type, std::uint32_t subtype, nwFramedCallback callback,
                             void* userValue) override;
    vzStatus SetPeerAddress(const cpSocketAddress& address) override;
    vzStatus GetPeerAddress(const cpSocketAddress** out) override;
    vzStatus Close() override;
    vzStatus PostClose() override;
    vzIUnknown* GetTopLayer() override;
    vzStatus ConnectedFrom(nwIQoSNetStack* layer) override;
    std::int32_t DeliverUp(nwIQoSNetStack* layer, const void* data, std::int32_t length) override;
    vzStatus GetSendBuffer(const void** data, std::uint32_t* length) override;
    vzStatus SendRaw(const void* data, std::uint32_t length) override;
    vzStatus GetReceiveRate(std::int64_t* bytesPerSecond) override;
    vzStatus GetSendRate(std::int64_t* bytesPerSecond) override;
    vzStatus GetQueuedBytes(std::uint32_t* count) override;
    vzStatus GetHostName(const char** out) override;
    vzStatus SetHostName(const char* host) override;
    vzStatus MarkAddressGood() override;
    vzStatus MarkAddressBad() override;
    vzStatus RestartWatches() override;

    // cpIConnectionHandlers: called by the socket window and the controller.
    void OnReceiveReady() override;
    void OnSendReady() override;
    void OnConnected() override;
    void OnConnectFailed() override;
    void Shutdown() override;
    void OnDeferredEvent(cpSocketRecord* record) override;
    void NotifyUnreachable() override;
    void OnSecondTick() override;

    // Stacks an existing layer object (`layer` is its own interface); AddLayer
    // creates one by class id and stacks it this way.
    vzStatus AttachLayer(vzIUnknown* layer, std::uint32_t classId, bool atBottom);

    // For tests and diagnostics.
    int State() const { return state_; }
    std::uint32_t Flags() const { return flags_; }
    std::uint32_t IdleCounter() const { return idleCounter_; }
    std::uint32_t ReceivedHeld() const { return receive_.Held(); }
    cpCQoSContextAction* Action() const { return action_.get(); }
    cpSocketRecord* Socket() const { return socket_; }
    std::size_t LayerCount() const { return layers_.size(); }
    std::size_t DeferredCount() const { return deferred_.size(); }

private:
    struct LayerEntry {
        vzSmartPtr own;         // the layer's own interface; holds the reference
        nwIQoSNetStack* stack;  // the same object's layer face
        std::uint32_t classId;
    };
    struct RateWindow {
        std::int64_t startMs = 0;  // 0: not running
        std::int64_t bytes = 0;
        void Add(std::int64_t n);
        std::int64_t TakeRate();
    };

    static void OnConnectTimer(void* self);
    void StopConnectTimer();
    void QueueDeferred(int code);
    // Sends event `code` to the layers from the bottom up, when its flag bit
    // is set, stopping at the first layer that answers false.
    void SendEventToLayers(int code);
    std::vector<nwIQoSNetStack*> LayersBottomUp() const;
    int IndexOf(const nwIQoSNetStack* layer) const;
    void QueueData(const void* data, std::uint32_t length);
    // Makes the first queued buffer current; asks the layers for data first
    // when the queue is empty.
    void LoadNextSendBuffer();
    bool RunSendPump();
    void FreeCurrentSendBuffer();
    void Deliver();
    bool Closed() const { return state_ == kStateClosing || state_ == kStateClosed; }

    std::atomic<int> refCount_{0};
    cpSendBuffer current_{};
    std::vector<std::uint8_t> currentStorage_;
    cpReceiveBuffer receive_;
    int delivering_ = 0;  // Deliver calls on the stack
    cpSocketRecord* socket_ = nullptr;
    std::uint32_t idleTimeout_ = 60;
    std::uint32_t connectTimeout_ = 5;
    // The low-speed watchdog: a window of whole seconds since the connect
    // (or the last window), and what arrived in it.
    std::uint32_t lowSpeedSeconds_ = 0;  // 0: off
    std::uint32_t lowSpeedBytes_ = 0;
    std::uint32_t windowSeconds_ = 0;
    std::uint64_t windowBytes_ = 0;
    std::uint32_t flags_ = 0;
    int state_ = kStateNew;
    // Neither queue allocates before it is used (a deque would, twice per
    // connection, and closed connections linger in the collector).
    std::list<std::vector<std::uint8_t>> sendQueue_;
    std::uint32_t idleCounter_ = 0;
    std::vector<LayerEntry> layers_;
    vzSmartPtr connectTimer_;
    vzSmartPtr ownDispatcher_;
    std::unique_ptr<cpCQoSContextAction> action_;
    cpSocketAddress peer_{};
    RateWindow sendRate_;
    RateWindow receiveRate_;
    int connectedFlag_ = 0;
    std::string hostName_;
    std::vector<int> deferred_;  // a handful at most; taken from the front
};
