#include "transport/stream_dispatcher.h"

#include "service/base/service_log.h"
#include "transport/frame.h"

vzStatus nwCStreamDispatcher::RegisterHandler(std::uint16_t type, std::uint32_t subtype,
                                              nwFramedCallback callback, void* userValue) {
    if (callback == nullptr) return kLayerFail;
    Handler handler;
    handler.framed = true;
    handler.type = type;
    handler.subtype = subtype;
    handler.framedCallback = callback;
    handler.userValue = userValue;
    handlers_.push_back(handler);
    return kLayerOk;
}

vzStatus nwCStreamDispatcher::RegisterRawHandler(nwRawCallback callback, void* userValue) {
    if (callback == nullptr) return kLayerFail;
    Handler handler;
    handler.rawCallback = callback;
    handler.userValue = userValue;
    handlers_.push_back(handler);
    rawMode_ = true;
    return kLayerOk;
}

vzStatus nwCStreamDispatcher::Parse(const void* data, std::int32_t length, std::int32_t* consumed) {
    if (consumed == nullptr) return kLayerFail;
    *consumed = 0;
    const auto* next = static_cast<const std::uint8_t*>(data);
    // The stop flag is looked at before every message: a handler may close
    // the connection, and the bytes behind its message then belong to no one.
    while (length > 0 && !stopped_ && next != nullptr) {
        const std::int32_t count = ParseOne(next, length);
        if (count < 0) {
            *consumed = count;
            return kLayerOk;
        }
        if (count == 0) break;
        *consumed += count;
        next += count;
        length -= count;
    }
    return kLayerOk;
}

std::int32_t nwCStreamDispatcher::ParseOne(const std::uint8_t* data, std::int32_t length) {
    nwFrameHeader header;
    if (!rawMode_) {
        if (length < static_cast<std::int32_t>(kFrameHeaderSize)) return 0;
        header = nwReadFrameHeader(data);
        // Refused before the completeness test: a frame this large would
        // otherwise be waited for while the receive buffer grows.
        if (header.payloadLength > kFrameMaxPayload) {
            WriteServiceLogFormat("[OstrelLib] Frame %u/%u with %u bytes refused", header.type,
                                  header.subtype, header.payloadLength);
            return kParseFrameTooLarge;
        }
        if (header.payloadLength > static_cast<std::uint32_t>(length) - kFrameHeaderSize) return 0;
    }

    // Walked by index over copies: a handler may register further handlers,
    // which can move the list.
    for (std::size_t i = 0; i < handlers_.size(); ++i) {
        const Handler handler = handlers_[i];
        if (rawMode_) {
            // Framed handlers registered before the switch have no header to
            // match in raw mode; only raw handlers take the bytes.
            if (handler.framed) continue;
            const std::int32_t count = handler.rawCallback(data, length, handler.userValue);
            return count > length ? kParseOverrun : count;
        }
        if (handler.type == header.type && handler.subtype == header.subtype) {
            handler.framedCallback(data + kFrameHeaderSize, header.payloadLength,
                                   handler.userValue);
            // Within the limit, so 14 + payload fits comfortably.
            return static_cast<std::int32_t>(kFrameHeaderSize + header.payloadLength);
        }
    }
    return kParseNoHandler;
}
