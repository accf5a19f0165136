#include "engine/start_only_launcher.h"

#include "engine/engine_paths.h"
#include "service/base/service_log.h"
#include "transport/cp_timer.h"

namespace {
// The next tick of the timer manager: as soon as the worker is free.
constexpr std::uint32_t kStartDelayMs = 1;
}  // namespace

CStartOnlyLauncher::CStartOnlyLauncher(ILauncherEventListener* listener) : listener_(listener) {}

CStartOnlyLauncher::~CStartOnlyLauncher() {
    listener_ = nullptr;
    if (timer_) (void)timer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
}

EngineLauncherFactory CStartOnlyLauncher::Factory() {
    return [](ILauncherEventListener* listener) -> std::unique_ptr<IEngineLauncher> {
        return std::make_unique<CStartOnlyLauncher>(listener);
    };
}

void CStartOnlyLauncher::Begin() {
    if (timer_ || !timer_.CreateInstance(kClassTimer)) {
        if (!timer_) Start();  // without a timer the start cannot wait: run it now
        return;
    }
    if (vzFailed(timer_.As<cpCTimer>()->Start(kStartDelayMs, &CStartOnlyLauncher::OnStartTimer,
                                              this, kTimerIdNone, nullptr)))
        Start();
}

void CStartOnlyLauncher::OnStartTimer(void* self) {
    auto* launcher = static_cast<CStartOnlyLauncher*>(self);
    // Once: the timer is periodic.
    (void)launcher->timer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
    launcher->Start();
}

void CStartOnlyLauncher::Start() {
    const bool started = RunBinary();
    std::string path;
    const bool present = CBinaryExecute_V3().GetExecutablePath(&path);
    ILauncherEventListener* listener = listener_;
    if (!listener) return;
    // Last: the listener may delete this launcher.
    if (started || present)
        listener->OnEngineStarted(true);
    else
        listener->OnEngineStartFailed();
}
