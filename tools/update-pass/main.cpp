// update-pass: runs the service's engine update and start once, as the
// downloader does at its start, and ends when the engine is ready or given
// up. For timing the update in the benchmarks and for trying an update
// server by hand:
//
//   TLX_UPDATE_SERVER=host:port update-pass
//
// Exit status: 0 the engine is ready (event 520), 1 the engine is not used
// and jobs would go direct (521), 2 the update failed (527), 3 no outcome
// within 120 s or the service did not start.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/window.h"
#include "service/base/job_records.h"
#include "service/download_service.h"

int main() {
    std::atomic<int> outcome{-1};
    plat::Hwnd window = plat::CreateForwardingWindow([&](const plat::Msg& message) {
        if (message.message != kServiceEventMessage) return;
        switch (static_cast<int>(message.wParam)) {
            case kEventEngineReady:
                outcome = 0;
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
    FinalizeService();
    plat::DestroyWindow(window);
    static const char* const kWords[] = {"engine ready", "engine not used", "update failed"};
    if (outcome < 0) {
        std::fprintf(stderr, "update-pass: no outcome within 120 s\n");
        return 3;
    }
    std::printf("%s\n", kWords[outcome.load()]);
    return outcome;
}
