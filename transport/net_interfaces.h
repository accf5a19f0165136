// The two interfaces between a connection and its protocol layers.
//
// vzIQoSContext is the connection: one TCP connection with its send queue,
// receive buffer, time-outs, pacing action and a stack of layers. Index 0 of
// the stack is the top layer (it talks to the application through its own
// interface and listener), the last index the bottom layer (next to the
// socket). Bytes sent by a layer go down the stack into the context's send
// queue; received bytes go up, each layer consuming what it understands.
//
// nwIQoSNetStack is what every layer implements. The "-> bool" events tell
// the context whether to go on with the next layer up.
//
// Thread: any thread with the service lock held. Socket and timer events
// arrive on the worker thread; set-up, sends and closes also come from the
// entry points on the caller's thread. Debug builds assert the lock at the
// context's entry (CP_ASSERT_SERVICE_LOCK_HELD).
#pragma once

#include <cstdint>

#include "service/base/vz_unknown.h"
#include "transport/cp_socket.h"

class nwIQoSNetStack;

// A buffer handed down a stack. The caller keeps ownership: whatever must
// outlive the call is copied on the way down.
struct cpBuffer {
    const void* data = nullptr;
    std::uint32_t length = 0;
};

// Handlers of framed messages and of raw bytes (see nwCStreamDispatcher).
using nwFramedCallback = void (*)(const void* payload, std::uint32_t length, void* userValue);
// Returns the bytes consumed (0: wait for more data; negative: close).
using nwRawCallback = std::int32_t (*)(const void* data, std::int32_t length, void* userValue);

// Interface id of nwIQoSNetStack for QueryInterface.
inline constexpr std::uint32_t kInterfaceNetStack = 8214;

// Context flags: the events a context reports to its layers, and measurements.
inline constexpr std::uint32_t kFlagReportConnectFailure = 1;
inline constexpr std::uint32_t kFlagAskForData = 2;
inline constexpr std::uint32_t kFlagReportIdle = 4;
inline constexpr std::uint32_t kFlagMeasureReceive = 8;
inline constexpr std::uint32_t kFlagMeasureSend = 0x10;
inline constexpr std::uint32_t kFlagCloseRequest = 32;

// Events sent to the layers through OnEvent.
inline constexpr int kEventConnectFailure = 1;
inline constexpr int kEventSendQueueEmpty = 2;
inline constexpr int kEventIdleTimeout = 4;
inline constexpr int kEventCloseRequest = 32;
inline constexpr int kEvent64 = 64;
// A deferred code of the context itself: the low-speed watchdog tripped. The
// layers hear it as kEventIdleTimeout.
inline constexpr int kEventLowSpeed = 128;

// Context options.
inline constexpr int kOptionConnectTimeout = 1;  // seconds, default 5
inline constexpr int kOptionIdleTimeout = 4;     // seconds, default 60
// The low-speed watchdog beside the idle time-out: a connected context that
// receives fewer than kOptionLowSpeedBytes bytes in a window of
// kOptionLowSpeedSeconds seconds reports an idle time-out (with flag 4), as
// a server that trickles a byte now and then is as stuck as a silent one.
// Off (0) by default.
inline constexpr int kOptionLowSpeedSeconds = 8;
inline constexpr int kOptionLowSpeedBytes = 9;

// Context states.
enum cpContextState : int {
    kStateNew = 0,
    kStateOpening = 1,
    kStateUnconnected = 2,
    kStateConnecting = 3,
    kStateConnected = 4,
    kStateFailed = 5,
    kStateSending = 6,
    kStateReceiving = 7,
    kStateReady = 8,
    kStateClosing = 9,
    kStateClosed = 10,
};

class vzIQoSContext : public vzIUnknown {
public:
    // Registers a socket (a new stream socket when `record` is null, else
    // the given accepted one) and creates the pacing action. Only once.
    virtual vzStatus Open(int actionType, std::uint32_t flags, cpSocketRecord* record) = 0;
    // direction 0: receive rate, 1: send rate (own-rate actions only).
    virtual vzStatus SetRate(int direction, const std::uint32_t* bytesPerSecond) = 0;
    // What is left of this second's own receive budget, and a cap on it
    // (own-rate actions only): lets a connection that takes over from
    // another in the same second continue from what that one left.
    virtual vzStatus GetReceiveBudgetLeft(std::uint32_t* bytes) = 0;
    virtual vzStatus LimitReceiveBudget(std::uint32_t bytes) = 0;
    virtual vzStatus SetActionType(int type) = 0;
    virtual vzStatus SetFlags(std::uint32_t flags) = 0;
    // Sets the bits only when none of them is set yet.
    virtual vzStatus AddFlags(std::uint32_t flags) = 0;
    virtual vzStatus RemoveFlags(std::uint32_t flags) = 0;
    virtual vzStatus SetOption(int option, const std::uint32_t* value) = 0;
    virtual vzStatus GetState(int* state) = 0;
    virtual vzStatus Connect(const cpSocketAddress& address) = 0;
    // Data sent down by `layer`: into the send queue from the bottom layer,
    // else handed to the next layer below.
    virtual vzStatus SendFrom(nwIQoSNetStack* layer, const cpBuffer& buffer) = 0;
    virtual vzStatus AddLayer(std::uint32_t classId, bool atBottom) = 0;
    // The first layer with that class id; `out` (optional) gets its own
    // interface without a reference.
    virtual vzStatus FindLayer(std::uint32_t classId, vzIUnknown** out) = 0;
    virtual vzStatus ResumeEvents() = 0;
    virtual vzStatus RegisterHandler(std::uint16_t type, std::uint32_t subtype,
                                     nwFramedCallback callback, void* userValue) = 0;
    virtual vzStatus SetPeerAddress(const cpSocketAddress& address) = 0;
    virtual vzStatus GetPeerAddress(const cpSocketAddress** out) = 0;
    virtual vzStatus Close() = 0;
    virtual vzStatus PostClose() = 0;
    // The top layer's own interface without a reference, or null.
    virtual vzIUnknown* GetTopLayer() = 0;
    // Tells the layer directly above `layer` that the connection is up.
    virtual vzStatus ConnectedFrom(nwIQoSNetStack* layer) = 0;
    // Hands data to the layer directly above `layer`; the bytes it consumed.
    virtual std::int32_t DeliverUp(nwIQoSNetStack* layer, const void* data,
                                   std::int32_t length) = 0;
    virtual vzStatus GetSendBuffer(const void** data, std::uint32_t* length) = 0;
    virtual vzStatus SendRaw(const void* data, std::uint32_t length) = 0;
    virtual vzStatus GetReceiveRate(std::int64_t* bytesPerSecond) = 0;
    virtual vzStatus GetSendRate(std::int64_t* bytesPerSecond) = 0;
    virtual vzStatus GetQueuedBytes(std::uint32_t* count) = 0;
    virtual vzStatus GetHostName(const char** out) = 0;
    virtual vzStatus SetHostName(const char* host) = 0;
    virtual vzStatus MarkAddressGood() = 0;
    virtual vzStatus MarkAddressBad() = 0;
    // The connection carries a new exchange: the idle count and the
    // low-speed window start again, as they did at the connect.
    virtual vzStatus RestartWatches() = 0;
};

class nwIQoSNetStack : public vzIUnknown {
public:
    virtual vzStatus GetReceiveRate(std::int64_t* bytesPerSecond) = 0;
    virtual vzStatus GetSendRate(std::int64_t* bytesPerSecond) = 0;
    // Data handed down by the layer above (the TLS layer encrypts it).
    virtual void OnSendFromAbove(const cpBuffer& buffer) = 0;
    virtual vzStatus Close() = 0;
    virtual bool OnConnected() = 0;
    virtual bool OnUnreachable() = 0;
    // Maps 1, 2, 4 and 64 to the four event slots below; true for others.
    virtual bool OnEvent(int code) = 0;
    // Received bytes; returns how many were consumed (negative: close).
    virtual std::int32_t OnReceive(const void* data, std::int32_t length) = 0;
    virtual void OnShutdown() = 0;
    virtual vzStatus SetFlags(std::uint32_t flags) = 0;
    virtual vzStatus AddFlags(std::uint32_t flags) = 0;
    virtual vzStatus RemoveFlags(std::uint32_t flags) = 0;
    virtual vzStatus Connect(const cpSocketAddress& address) = 0;
    virtual vzStatus NotifyConnected() = 0;
    virtual std::int32_t DeliverUp(const void* data, std::int32_t length) = 0;
    virtual vzStatus SendDown(const cpBuffer& buffer) = 0;
    virtual void OnClosed() = 0;
    virtual bool OnConnectFailedEvent() = 0;
    virtual bool OnSendQueueEmptyEvent() = 0;
    virtual bool OnIdleTimeoutEvent() = 0;
    virtual bool OnEvent64() = 0;
    virtual void RegisterHandlers() = 0;
    // Set by the context's AddLayer: the context this layer is stacked on
    // (no reference; the context owns the layer).
    virtual void SetOwner(vzIQoSContext* owner) = 0;
};
