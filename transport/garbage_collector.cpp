#include "transport/garbage_collector.h"

#include "platform/kernel.h"
#include "transport/cp_timer.h"

namespace {
vzCGarbageCollector* g_collector = nullptr;
}

vzCGarbageCollector* vzCGarbageCollector::Instance() {
    if (!g_collector) Create();
    return g_collector;
}

vzCGarbageCollector* vzCGarbageCollector::Create() {
    auto* collector = new vzCGarbageCollector;
    collector->Start();
    g_collector = collector;
    return collector;
}

void vzCGarbageCollector::Destroy(vzCGarbageCollector* collector) {
    if (!collector) return;
    collector->Stop();
    if (g_collector == collector) g_collector = nullptr;
    delete collector;
}

vzCGarbageCollector::~vzCGarbageCollector() {
    if (entries_ || sweepTimer_) Stop();
}

void vzCGarbageCollector::Start() {
    if (sweepTimer_.CreateInstance(kClassTimer))
        (void)sweepTimer_.As<cpCTimer>()->Start(
            kSweepMs, &vzCGarbageCollector::OnSweepTimer, this, kTimerIdNone,
            nullptr);  // a timer that cannot start only never fires
    if (!entries_) entries_ = new vzCPtrList;
}

void vzCGarbageCollector::Stop() {
    if (sweepTimer_) {
        (void)sweepTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
        sweepTimer_.Reset();
    }
    if (!entries_) return;
    // Detach the list first: a released object may hand further objects over.
    vzCPtrList* entries = entries_;
    entries_ = nullptr;
    while (void* item = entries->PopHead()) delete static_cast<Entry*>(item);
    delete entries;
}

void vzCGarbageCollector::DeferRelease(vzSmartPtr holder) {
    if (!holder) return;
    if (!entries_) entries_ = new vzCPtrList;
    auto* entry =
        new Entry{holder, static_cast<std::uint32_t>(plat::CalendarSeconds()) + kHoldSeconds};
    entries_->Append(entry);
}

void vzCGarbageCollector::Sweep() {
    if (!entries_) return;
    auto now = static_cast<std::uint32_t>(plat::CalendarSeconds());
    while (vzCPtrList::Node* head = entries_->Head()) {
        auto* entry = static_cast<Entry*>(head->item);
        if (!(entry->expiry < now)) break;
        entries_->PopHead();
        delete entry;  // may release the last reference
        if (!entries_) return;
    }
}

void vzCGarbageCollector::OnSweepTimer(void* self) {
    static_cast<vzCGarbageCollector*>(self)->Sweep();
}
