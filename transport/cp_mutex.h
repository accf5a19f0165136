// The service lock: one recursive lock for the whole service, shared by the
// entry points, the socket window, the timer procedure, the timer manager and
// the bandwidth controller. Code that already holds it may take it again.
#pragma once

#include "platform/kernel.h"
#include "service/base/vz_unknown.h"

class cpCMutex : public vzCRefCounted<vzIUnknown> {
public:
    virtual void SetOwner(int owner) { owner_ = owner; }
    virtual vzStatus Lock() {
        lock_.Lock();
        return kTransportOk;
    }
    virtual vzStatus Unlock() {
        lock_.Unlock();
        return kTransportOk;
    }

private:
    int owner_ = 0;  // stored for diagnostics only
    plat::RecursiveLock lock_;
};

// Holds a cpCMutex for a scope; a null mutex is a no-op.
class cpLockGuard {
public:
    explicit cpLockGuard(cpCMutex* mutex) : mutex_(mutex) {
        if (mutex_) (void)mutex_->Lock();  // the recursive lock cannot fail
    }
    ~cpLockGuard() {
        if (mutex_) (void)mutex_->Unlock();  // the recursive lock cannot fail
    }
    cpLockGuard(const cpLockGuard&) = delete;
    cpLockGuard& operator=(const cpLockGuard&) = delete;

private:
    cpCMutex* mutex_;
};
