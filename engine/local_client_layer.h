// nwCCDNLocalClientLayer (class id 8213): the protocol layer of the local
// engine link. It frames the service's commands on the way down (type
// 0x0100, JobSubmit 0x0102) and turns the engine's messages into listener
// calls on the way up, one handler per incoming subtype.
//
// An incoming message that does not hold its fields is logged and closes the
// connection; a subtype without a handler makes the connection close too
// (the dispatcher's rule). Events are dropped while no listener is set. The
// layer keeps no state beyond its listener; it sends no keep-alive.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/local_client_interfaces.h"
#include "transport/application_stack.h"

class nwCCDNLocalClientLayer final
    : public nwCLayer<vzICDNLocalClientLayer, nwICDNLocalClientEventListener> {
public:
    nwCCDNLocalClientLayer();
    ~nwCCDNLocalClientLayer() override;

    // vzICDNLocalClientLayer
    vzStatus SetListener(nwICDNLocalClientEventListener* listener, std::uint32_t context) override;
    vzStatus SendJobMode(std::uint8_t mode) override;
    vzStatus SendJobLabel(const std::string& label) override;
    vzStatus SendJobDescription(const LocalJobHead& head,
                                const std::vector<LocalFileRecord>& files) override;
    vzStatus SendCancelJob(std::uint32_t jobKey, std::uint32_t engineJob) override;
    vzStatus SendServiceKey(const std::string& key) override;
    vzStatus SendJobOption(std::uint32_t jobKey, std::uint32_t engineJob,
                           std::uint8_t value) override;
    vzStatus SendJobEngineFlag(std::uint32_t jobKey) override;
    vzStatus SendResumeAnswer(std::uint32_t engineJob, std::uint32_t jobKey, std::uint8_t first,
                              std::uint8_t second) override;

    // nwIQoSNetStack, per layer
    bool OnConnected() override;
    void OnClosed() override;
    bool OnConnectFailedEvent() override;
    void RegisterHandlers() override;

private:
    vzStatus Send(std::uint16_t subtype, const std::vector<std::uint8_t>& payload,
                  std::uint16_t type = kLocalMessageType);
    // The message of `subtype` did not hold its fields: log and close.
    void Malformed(std::uint16_t subtype, std::uint32_t length);

    static void OnAccepted(const void* payload, std::uint32_t length, void* self);
    static void OnProgress(const void* payload, std::uint32_t length, void* self);
    static void OnEnded(const void* payload, std::uint32_t length, void* self);
    static void OnDone(const void* payload, std::uint32_t length, void* self);
    static void OnDoneAt(const void* payload, std::uint32_t length, void* self);
    static void OnState(const void* payload, std::uint32_t length, void* self);
    static void OnLost(const void* payload, std::uint32_t length, void* self);
    static void OnRestored(const void* payload, std::uint32_t length, void* self);
    static void OnFailed(const void* payload, std::uint32_t length, void* self);
    static void OnResume(const void* payload, std::uint32_t length, void* self);
};
