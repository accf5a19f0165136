// nwCApplicationStack: the common base of every protocol layer (the HTTP
// client, TLS, agent and local engine layers).
//
// It implements the nwIQoSNetStack slots that are the same for every layer:
// operations that forward to the connection the layer is stacked on (its
// owner), the event fan-out of OnEvent, received data through the embedded
// dispatcher, and shutdown. A concrete layer derives from nwCLayer below,
// which adds the reference count shared by the layer's two interfaces, and
// supplies the per-layer slots:
//
//   bool OnConnected() override;       the connection is up for this layer
//   void OnClosed() override;          the connection is gone (after Stop)
//   void RegisterHandlers() override;  fills Dispatcher(); the layer's own
//                                      constructor must call it, since the
//                                      base constructor runs too early
//
// and overrides any other slot whose default does not fit (OnSendFromAbove
// drops the data, OnUnreachable and the four event slots answer true).
//
// Ownership: the connection creates the layer, holds it through the layer's
// own interface and sets the owner with SetOwner; the layer points back
// without a reference.
//
// Thread: any thread with the service lock held. The socket and timer
// events reach a layer on the worker thread; a session that opens, sends or
// closes from an entry point does so on the caller's (user-interface)
// thread, holding the same lock.
#pragma once

#include <cstdint>

#include "transport/net_interfaces.h"
#include "transport/stream_dispatcher.h"

class nwCApplicationStack : public nwIQoSNetStack {
public:
    nwCApplicationStack(const nwCApplicationStack&) = delete;
    nwCApplicationStack& operator=(const nwCApplicationStack&) = delete;
    ~nwCApplicationStack() override = default;

    // The owner's rates. kLayerFail (and 0) without an owner.
    vzStatus GetReceiveRate(std::int64_t* bytesPerSecond) override;
    vzStatus GetSendRate(std::int64_t* bytesPerSecond) override;
    // Data handed down by the layer above; a plain layer has nothing to do
    // with it and drops it (only a transforming layer such as TLS overrides).
    void OnSendFromAbove(const cpBuffer& buffer) override;
    bool OnUnreachable() override { return true; }
    // 1, 2, 4 and 64 go to the four event slots; other codes answer true so
    // that the layers above still hear them.
    bool OnEvent(int code) override;
    // Parses through the embedded dispatcher: the bytes consumed, or a
    // negative value that makes the connection close.
    std::int32_t OnReceive(const void* data, std::int32_t length) override;
    // Stops the dispatcher first, so that nothing more is delivered to a
    // layer that has been told the connection is gone, then OnClosed.
    void OnShutdown() override;

    // Forwarded to the owner. Without an owner they do nothing and answer
    // kLayerFail (DeliverUp answers 0).
    vzStatus Close() override;
    vzStatus SetFlags(std::uint32_t flags) override;
    vzStatus AddFlags(std::uint32_t flags) override;
    vzStatus RemoveFlags(std::uint32_t flags) override;
    vzStatus Connect(const cpSocketAddress& address) override;
    // Tells the layer directly above that the connection is up; for a layer
    // whose OnConnected answered false (it still had work to do first).
    vzStatus NotifyConnected() override;
    std::int32_t DeliverUp(const void* data, std::int32_t length) override;
    vzStatus SendDown(const cpBuffer& buffer) override;

    bool OnConnectFailedEvent() override { return true; }
    bool OnSendQueueEmptyEvent() override { return true; }
    bool OnIdleTimeoutEvent() override { return true; }
    bool OnEvent64() override { return true; }

    void SetOwner(vzIQoSContext* owner) override { owner_ = owner; }
    vzIQoSContext* Owner() const { return owner_; }

    // Sends one framed message down the stack: builds the header, a copy of
    // the payload and the zero padding (transport/frame.h) and calls
    // SendDown with the whole frame. The caller keeps its payload.
    // kLayerOk once handed down; kLayerFail for a payload above
    // kFrameMaxPayload, a null payload with a length, or a failed SendDown
    // (no owner).
    vzStatus SendFrame(std::uint16_t subtype, const void* payload, std::uint32_t payloadLength,
                       std::uint16_t type);

protected:
    nwCApplicationStack() = default;

    nwCStreamDispatcher& Dispatcher() { return dispatcher_; }
    const nwCStreamDispatcher& Dispatcher() const { return dispatcher_; }

private:
    vzIQoSContext* owner_ = nullptr;  // no reference; set by AddLayer
    // Embedded, never counted: it lives and dies with the layer.
    nwCStreamDispatcher dispatcher_;
};

// The reference count and QueryInterface of a concrete layer. A layer is one
// object reached through two interfaces (nwIQoSNetStack and its own, say
// vzIAgentLayer), both derived from vzIUnknown; the overrides here serve
// both, so the count is shared and Release through either interface
// deletes the whole layer. Like every library object the layer starts at
// count 0 and its creator adds the first reference. The class factory hands
// a layer out as AsOwnInterface(): converting the layer itself to
// vzIUnknown* is ambiguous between the two bases.
//
// It also keeps the application's listener and the listener value passed
// back with every event; the own interface's SetListener slot is a one-line
// override that calls StoreListener. A layer without a listener (TLS) leaves
// `ListenerInterface` at void and never sets one.
//
//   class nwCAgentLayer : public nwCLayer<vzIAgentLayer, nwIAgentListener> {
//   public:
//       vzStatus SetListener(nwIAgentListener* l, std::uint32_t v) override {
//           return StoreListener(l, v);
//       }
//       ...
//   };
template <class OwnInterface, class ListenerInterface = void>
class nwCLayer : public nwCApplicationStack, public OwnInterface {
public:
    vzStatus AddRef() override {
        ++refCount_;
        return kVzOk;
    }
    vzStatus Release() override {
        if (refCount_-- <= 1) delete this;
        return kVzOk;
    }
    // Interface 8214 yields the layer's nwIQoSNetStack without a reference
    // (the connection keeps the layer alive through its own interface);
    // every other id fails with kLayerFail. A layer that answers more ids
    // overrides this and falls back to it.
    vzStatus QueryInterface(std::uint32_t interfaceId, void** out) override {
        if (out == nullptr) return kLayerFail;
        if (interfaceId == kInterfaceNetStack) {
            *out = static_cast<nwIQoSNetStack*>(this);
            return kLayerOk;
        }
        *out = nullptr;
        return kLayerFail;
    }
    int RefCount() const { return refCount_; }
    // Null when none.
    ListenerInterface* Listener() const { return listener_; }
    std::uint32_t ListenerValue() const { return listenerValue_; }

    // The layer's two faces of the same object.
    nwIQoSNetStack* AsNetStack() { return this; }
    OwnInterface* AsOwnInterface() { return this; }

protected:
    nwCLayer() = default;

    vzStatus StoreListener(ListenerInterface* listener, std::uint32_t listenerValue) {
        listener_ = listener;
        listenerValue_ = listenerValue;
        return kLayerOk;
    }
    // A layer clears the listener once it must hear no more (the HTTP layer
    // after its closed event), since the listener may be gone while the
    // connection still waits for its deferred release.
    void ClearListener() { listener_ = nullptr; }

private:
    int refCount_ = 0;  // plain: layers run under the service lock
    ListenerInterface* listener_ = nullptr;
    std::uint32_t listenerValue_ = 0;
};
