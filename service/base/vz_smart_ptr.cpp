#include "service/base/vz_smart_ptr.h"

#include <atomic>

namespace {
std::atomic<vzClassFactory> g_factory{nullptr};
}

void vzSetClassFactory(vzClassFactory factory) {
    g_factory.store(factory);
}

bool vzSmartPtr::CreateInstance(std::uint32_t classId) {
    Reset();
    vzClassFactory factory = g_factory.load();
    vzIUnknown* object = factory ? factory(classId) : nullptr;
    if (!object) return false;
    *this = object;
    return true;
}
