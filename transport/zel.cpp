#include "transport/zel.h"

#include "platform/sockets.h"
#include "service/garbage_collector.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/cp_timer.h"

CZel::CZel(const vzSmartPtr& serviceLock) : lock_(serviceLock) {
    cpCMutex* lock = lock_.As<cpCMutex>();
    std::uint16_t granted = 0;
    if (plat::WSAStartup(0x0202, &granted) == 0 && granted != 0x0202) plat::WSACleanup();

    auto* timers = new cpCTimerManager(lock);
    cpSetTimerManager(timers);

    auto* qos = new cpCQoS;
    cpSetQoS(qos);
    bool windowOk = vzSucceeded(qos->Init(lock));

    vzCGarbageCollector::Create();
    started_ = windowOk && timers->Valid();
}

CZel::~CZel() {
    vzCGarbageCollector::Destroy();
    if (cpCQoS* qos = cpQoS()) {
        qos->Term();
        cpSetQoS(nullptr);
        delete qos;
    }
    if (cpCTimerManager* timers = cpTimerManager()) {
        cpSetTimerManager(nullptr);
        delete timers;
    }
}
