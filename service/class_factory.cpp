#include "service/class_factory.h"

#include "Lib_SSL/secure_socket_client_layer.h"
#include "engine/local_client_layer.h"
#include "http/agent_layer.h"
#include "http/http_client_layer.h"
#include "http/proxy_tunnel_layer.h"
#include "transport/cp_mutex.h"
#include "transport/cp_socket.h"
#include "transport/cp_timer.h"
#include "transport/qos_context.h"
#include "transport/stream_dispatcher.h"

namespace {

vzIUnknown* NewObject(std::uint32_t classId) {
    switch (classId) {
        case kClassSocket:
            return new cpCSocket;
        case kClassTimer:
            return new cpCTimer;
        case kClassMutex:
            return new cpCMutex;
        case kClassQoSContext:
            return static_cast<vzIQoSContext*>(new cpCQoSContext);
        case kClassStreamDispatcher:
            return new nwCStreamDispatcher;
        // A layer is held through its own interface.
        case kClassAgentLayer:
            return static_cast<vzIAgentLayer*>(new nwCAgentLayer);
        case kClassHttpClientExLayer:
            return static_cast<vzIHttpClientExLayer*>(new nwCHttpClientExLayer);
        case kClassCdnLocalClientLayer:
            return static_cast<vzICDNLocalClientLayer*>(new nwCCDNLocalClientLayer);
        case kClassSecureSocketClientLayer:
            return static_cast<vzISecureSocketClientLayer*>(new nwCSecureSocketClientLayer);
        case kClassProxyTunnelLayer:
            return static_cast<vzIProxyTunnelLayer*>(new nwCProxyTunnelLayer);
        default:
            return nullptr;
    }
}

}  // namespace

void InstallServiceClassFactory() {
    vzSetClassFactory(&NewObject);
}
