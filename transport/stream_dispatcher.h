// nwCStreamDispatcher cuts a layer's input into messages and hands each one
// to the handler registered for it.
//
// Every protocol layer embeds one (nwCApplicationStack), and a connection
// without layers creates one by class id 8198 for its own handlers. In
// framed mode the input is a sequence of frames (transport/frame.h) and a
// framed handler is chosen by the frame's type and subtype. Registering a
// raw handler switches to raw mode: the raw handler sees the bytes as they
// come and says how many it consumed (the HTTP response parser and the TLS
// record reader work this way).
//
// Handlers are plain functions with a user value (in practice the layer).
// The dispatcher does not own the user value and holds no reference to it.
//
// Runs with the service lock held, as its layer does; the count is a plain
// integer. Whoever calls Parse keeps the dispatcher alive for the call
// (an embedded dispatcher lives as long as its layer, which its connection
// holds while delivering).
#pragma once

#include <cstdint>
#include <vector>

#include "service/base/vz_unknown.h"
#include "transport/net_interfaces.h"

class nwCStreamDispatcher : public vzCRefCounted<vzIUnknown> {
public:
    // Negative Parse results of the dispatcher itself; a raw handler's own
    // negative count is passed on unchanged. Any negative result makes the
    // connection close.
    static constexpr std::int32_t kParseNoHandler = -1;      // unknown type / subtype
    static constexpr std::int32_t kParseFrameTooLarge = -2;  // header above kFrameMaxPayload
    static constexpr std::int32_t kParseOverrun = -3;        // raw handler took more than given

    nwCStreamDispatcher() = default;
    nwCStreamDispatcher(const nwCStreamDispatcher&) = delete;
    nwCStreamDispatcher& operator=(const nwCStreamDispatcher&) = delete;
    ~nwCStreamDispatcher() override = default;

    // Adds a framed handler for frames of `type` whose subtype equals
    // `subtype` (a subtype above 0xFFFF can never match the 16-bit field).
    // Handlers are tried in registration order, so the first registration
    // of a type and subtype wins. kLayerFail for a null callback.
    virtual vzStatus RegisterHandler(std::uint16_t type, std::uint32_t subtype,
                                     nwFramedCallback callback, void* userValue);
    // Consumes whole messages from `data` and stores in *consumed the bytes
    // consumed (0 and up), or a negative value when the input must close
    // the connection. Always kLayerOk, except kLayerFail for a null
    // `consumed`. Never reads beyond data + length; an incomplete frame is
    // left for the next call, which gets it again from its first byte.
    virtual vzStatus Parse(const void* data, std::int32_t length, std::int32_t* consumed);

    // Adds a raw handler and switches to raw mode. kLayerFail for a null
    // callback.
    vzStatus RegisterRawHandler(nwRawCallback callback, void* userValue);

    // Set when the owning layer shuts down: from then on Parse consumes
    // nothing, also in the middle of a call whose handler closed the
    // connection. There is no way back; a closed connection is not reused.
    void Stop() { stopped_ = true; }
    bool IsStopped() const { return stopped_; }
    bool IsRawMode() const { return rawMode_; }
    std::size_t HandlerCount() const { return handlers_.size(); }

private:
    struct Handler {
        bool framed = false;
        std::uint16_t type = 0;
        std::uint32_t subtype = 0;
        nwFramedCallback framedCallback = nullptr;
        nwRawCallback rawCallback = nullptr;
        void* userValue = nullptr;
    };

    // One message from the front of the input: its size, 0 to wait for
    // more data, or a negative result.
    std::int32_t ParseOne(const std::uint8_t* data, std::int32_t length);

    std::vector<Handler> handlers_;  // registration order
    bool rawMode_ = false;
    bool stopped_ = false;
};
