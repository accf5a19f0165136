// update-pass: runs the service's engine update and start once, as the
// downloader does at its start, and ends when the engine is ready or given
// up. For timing the update in the benchmarks and for trying an update
// server by hand:
//
//   TLX_UPDATE_SERVER=host:port update-pass
//
// Exit status: 0 the engine is ready (event 520) and listens on its port,
// 1 the engine is not used and jobs would go direct (521) or it does not
// listen, 2 the update failed (527, or 520 saying the engine installed
// before runs instead), 3 no outcome within 120 s or the service did not
// start.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/engine_port.h"
#include "platform/socket_owner.h"
#include "platform/window.h"
#include "service/base/job_records.h"
#include "service/download_service.h"

namespace {

// Whether an engine of this user listens on the engine's port within 5 s.
bool EngineListens() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        std::uint32_t uid = 0;
        if (plat::LoopbackListenerUid(EnginePort(), &uid)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

int main() {
    std::atomic<int> outcome{-1};
    plat::Hwnd window = plat::CreateForwardingWindow([&](const plat::Msg& message) {
        if (message.message != kServiceEventMessage) return;
        switch (static_cast<int>(message.wParam)) {
            case kEventEngineReady:
                // 1: the update failed and the engine installed before runs.
                outcome = message.lParam == 0 ? 0 : 4;
                break;
            case kEventEngineUnavailable:
                outcome = 1;
                break;
            case kEventEnginePathFailed:
                outcome = 2;
                break;
            default:
                break;
        }
    });
    if (!window || InitializeService(window) != 512) {
        std::fprintf(stderr, "update-pass: the service did not start\n");
        return 3;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (outcome < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Ready means listening: a start that failed after a good pass is
    // reported ready by the service, and only the connect tells.
    if (outcome == 0 && !EngineListens()) outcome = 5;
    FinalizeService();
    plat::DestroyWindow(window);
    if (outcome < 0) {
        std::fprintf(stderr, "update-pass: no outcome within 120 s\n");
        return 3;
    }
    static const char* const kWords[] = {"engine ready", "engine not used", "update failed",
                                         "", "update failed; the engine installed before runs",
                                         "engine not ready: it does not listen"};
    static const int kStatus[] = {0, 1, 2, 3, 2, 1};
    std::printf("%s\n", kWords[outcome.load()]);
    return kStatus[outcome.load()];
}
