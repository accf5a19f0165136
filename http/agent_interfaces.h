// The report channel's layer interface and the listener of its events.
//
// The channel is a plain TCP connection to the report server carrying
// framed messages (transport/frame.h) of type 0x300: the client sends
// reports (subtype 0x9A: a 32-bit little-endian record count, then the
// records of kAgentRecordSize bytes each), the server answers each with a
// reply (subtype 0x83: the first payload byte is a reply code). The layer
// does not know what a record holds; the result reporter fills them
// (transfers/result_record.h).
//
// Every listener event passes back the listener value given to SetListener
// and runs on the service worker thread with the service lock held. A
// listener may close the connection from inside any event.
#pragma once

#include <cstdint>

#include "service/base/vz_unknown.h"

inline constexpr std::uint16_t kAgentMessageType = 0x300;
inline constexpr std::uint16_t kAgentReportSubtype = 0x9A;
inline constexpr std::uint16_t kAgentReplySubtype = 0x83;
// The size of one record of a report on the wire.
inline constexpr std::uint32_t kAgentRecordSize = 298;
// The report server's TCP port.
inline constexpr std::uint16_t kAgentReportPort = 54547;

// One report: `count` records of kAgentRecordSize bytes, contiguous at
// `records`. The caller keeps the memory.
struct vzAgentReport {
    std::int32_t count = 0;
    const void* records = nullptr;
};

class nwIAgentListener {
public:
    // The TCP connection is up; reports sent from now on go straight out.
    virtual void OnConnected(std::uint32_t value) = 0;
    // A reply frame arrived; `code` is its first payload byte (0 when the
    // server sent an empty payload).
    virtual void OnReply(std::uint32_t value, std::uint8_t code) = 0;
    // The connection was shut down; nothing follows, and the layer forgets
    // the listener, so the listener may go away right after.
    virtual void OnClosed(std::uint32_t value) = 0;
    // Refused, unreachable or timed out (connection flag 1); OnClosed follows.
    virtual void OnConnectFailed(std::uint32_t value) = 0;
    // Nothing received for the idle time-out (connection flag 4).
    virtual void OnIdleTimeout(std::uint32_t value) = 0;
    virtual ~nwIAgentListener() = default;
};

class vzIAgentLayer : public vzIUnknown {
public:
    // Stores the listener (null: none) and its value; kLayerOk.
    virtual vzStatus SetListener(nwIAgentListener* listener, std::uint32_t value) = 0;
    // Sends one report frame down the connection; before the connection is
    // up it waits in the connection's send queue, in order. kLayerFail for a
    // negative count, null records with a count, a frame above the frame
    // size limit, or a layer not stacked on a connection.
    virtual vzStatus SendReport(const vzAgentReport& report) = 0;
};
