// nwCAgentLayer (class id 8195): the protocol layer of the report channel.
// It frames reports on the way down and turns reply frames into OnReply on
// the way up. Any other incoming frame has no handler, which makes the
// connection close (the listener sees OnClosed).
//
// The layer keeps no state of its own beyond the listener: reports sent
// before the connection is up wait in the connection's send queue, and
// whoever holds the connection decides when to close it.
#pragma once

#include <cstdint>

#include "http/agent_interfaces.h"
#include "transport/application_stack.h"

class nwCAgentLayer final : public nwCLayer<vzIAgentLayer, nwIAgentListener> {
public:
    nwCAgentLayer();

    // vzIAgentLayer
    vzStatus SetListener(nwIAgentListener* listener, std::uint32_t value) override;
    vzStatus SendReport(const vzAgentReport& report) override;

    // nwIQoSNetStack, per layer
    bool OnConnected() override;
    void OnClosed() override;
    bool OnConnectFailedEvent() override;
    bool OnIdleTimeoutEvent() override;
    void RegisterHandlers() override;

private:
    static void OnReplyFrame(const void* payload, std::uint32_t length, void* self);
};
