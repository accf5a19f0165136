#include "launcher/required_size.h"

#include <atomic>

namespace {
// Atomic so a folder browser running on another thread of a front end can
// read it safely.
std::atomic<std::int64_t> g_requiredSize{0};
}  // namespace

std::int64_t RequiredSize() {
    return g_requiredSize.load();
}
void SetRequiredSize(std::int64_t bytes) {
    g_requiredSize.store(bytes);
}
