// The service lock: one recursive lock for the whole service, shared by the
// entry points, the socket window, the timer procedure, the timer manager and
// the bandwidth controller. Code that already holds it may take it again.
//
// Much of the library runs "on any thread, with the service lock held": the
// entry points act on the caller's (user-interface) thread, the socket and
// timer events on the worker thread, both under this lock. Debug builds
// check that contract where it is stated (CP_ASSERT_SERVICE_LOCK_HELD).
#pragma once

#include <cassert>

#include "platform/kernel.h"
#include "service/base/vz_unknown.h"

class cpCMutex : public vzCRefCounted<vzIUnknown> {
public:
    // A number for diagnostics (the creating thread's role); the lock's
    // behaviour does not depend on it.
    virtual void SetOwner(int owner) { owner_ = owner; }
    virtual vzStatus Lock() {
        lock_.Lock();
        return kTransportOk;
    }
    virtual vzStatus Unlock() {
        lock_.Unlock();
        return kTransportOk;
    }
    int Owner() const { return owner_; }
    bool HeldByCurrentThread() const { return lock_.HeldByCurrentThread(); }

private:
    int owner_ = 0;
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

// True when the calling thread holds the service lock, or when no network
// runtime runs (then nothing can race the caller). Any thread.
bool cpServiceLockHeld();

#ifdef NDEBUG
#define CP_ASSERT_SERVICE_LOCK_HELD() ((void)0)
#else
#define CP_ASSERT_SERVICE_LOCK_HELD() assert(cpServiceLockHeld() && "the service lock must be held")
#endif
