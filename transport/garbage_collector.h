// The deferred-release collector. A session that gives up a connection
// stack — possibly from inside that stack's own callback — hands a reference
// to the collector instead of releasing it, and the collector releases it
// on the worker thread at the first 3000 ms sweep that comes at least three
// whole seconds later. So an object lives about 4 to 7 seconds after the
// hand-over, long enough for any callback on the stack to unwind.
#pragma once

#include <cstdint>

#include "service/base/vz_ptr_list.h"
#include "service/base/vz_smart_ptr.h"

class vzCGarbageCollector {
public:
    static constexpr std::uint32_t kSweepMs = 3000;
    static constexpr std::uint32_t kHoldSeconds = 3;

    // The process-wide collector; created and started when there is none.
    static vzCGarbageCollector* Instance();
    // Creates and starts a collector and makes it the process-wide one.
    static vzCGarbageCollector* Create();
    // Stops `collector`, releasing everything pending, and deletes it; the
    // process-wide pointer is cleared when it named that collector.
    static void Destroy(vzCGarbageCollector* collector);

    virtual ~vzCGarbageCollector();
    virtual void Start();
    virtual void Stop();

    // Takes one reference to what `holder` holds until it expires; an empty
    // holder adds nothing. The by-value holder drops the caller's reference.
    void DeferRelease(vzSmartPtr holder);
    // Releases, from the head, every entry whose expiry is strictly before now.
    void Sweep();

    int PendingCount() const { return entries_ ? entries_->Count() : 0; }

private:
    struct Entry {
        vzSmartPtr object;
        std::uint32_t expiry;  // low 32 bits of the hand-over second, plus 3
    };
    static void OnSweepTimer(void* self);

    vzSmartPtr sweepTimer_;
    vzCPtrList* entries_ = nullptr;
};
