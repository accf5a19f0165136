#include "transport/zel.h"

#include "platform/sockets.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/cp_timer.h"
#include "transport/garbage_collector.h"

CZel::CZel(const vzSmartPtr& serviceLock) : lock_(serviceLock) {
    cpCMutex* lock = lock_.As<cpCMutex>();
    std::uint16_t granted = 0;
    if (plat::WSAStartup(0x0202, &granted) == 0 && granted != 0x0202) plat::WSACleanup();

    timers_ = new cpCTimerManager(lock);
    cpSetTimerManager(timers_);

    qos_ = new cpCQoS;
    cpSetQoS(qos_);
    bool windowOk = vzSucceeded(qos_->Init(lock));

    collector_ = vzCGarbageCollector::Create();
    started_ = windowOk && timers_->Valid();
}

CZel::~CZel() {
    cpLockGuard guard(lock_.As<cpCMutex>());
    vzCGarbageCollector::Destroy(collector_);
    qos_->Term();
    if (cpQoS() == qos_) cpSetQoS(nullptr);
    delete qos_;
    if (cpTimerManager() == timers_) cpSetTimerManager(nullptr);
    delete timers_;
}
