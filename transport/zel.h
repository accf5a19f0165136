// The network library context: starts and stops the process-wide network
// runtime on the calling (worker) thread — sockets, the timer manager with
// its 100 ms thread timer, the bandwidth controller with the socket window,
// and the deferred-release collector — and tears it down in reverse. The
// TLS library is not part of it: the layer that needs it sits above the
// transport, and the service worker starts and ends it.
#pragma once

#include "service/base/vz_smart_ptr.h"

class cpCMutex;
class cpCQoS;
class cpCTimerManager;
class vzCGarbageCollector;

class CZel {
public:
    explicit CZel(const vzSmartPtr& serviceLock);
    ~CZel();
    CZel(const CZel&) = delete;
    CZel& operator=(const CZel&) = delete;

    // False when the runtime could not start (no socket window, no thread
    // timer): the service would never hear a socket or a timer.
    bool Started() const { return started_; }

private:
    vzSmartPtr lock_;
    // This context's runtime objects. The process-wide pointers name them
    // while this context is current; teardown only clears pointers that
    // still name its own objects.
    cpCTimerManager* timers_ = nullptr;
    cpCQoS* qos_ = nullptr;
    vzCGarbageCollector* collector_ = nullptr;
    bool started_ = false;
};
