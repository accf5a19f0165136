// What the transport calls on a connection: the socket window routes each
// notification of a registered socket to the connection in its slot, and the
// bandwidth controller calls the per-second tick. Implemented by the
// connection context; all calls run on the worker thread under the service
// lock.
#pragma once

#include "service/base/vz_unknown.h"

struct cpSocketRecord;

class cpIConnectionHandlers : public vzIUnknown {
public:
    virtual void OnReceiveReady() = 0;
    virtual void OnSendReady() = 0;
    virtual void OnConnected() = 0;
    virtual void OnConnectFailed() = 0;
    virtual void Shutdown() = 0;
    // A deferred event queued through message 0x409 for this socket record.
    virtual void OnDeferredEvent(cpSocketRecord* record) = 0;
    // The connect failed with "host unreachable": each layer's unreachable
    // handler from the bottom layer upward until one returns false.
    virtual void NotifyUnreachable() = 0;
    virtual void OnSecondTick() = 0;
};
