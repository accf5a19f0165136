// CStartOnlyLauncher: a launch without an update: the engine is started
// (RunBinary), and the outcome follows the launcher's rule: the engine
// counts as started when RunBinary succeeded or when every download of the
// pass was good, which for a pass without downloads means the executable is
// present. The start runs from a one-shot timer on the worker thread, so
// Begin returns at once, as an update pass would.
#pragma once

#include "engine/engine_launcher.h"
#include "service/base/vz_smart_ptr.h"

class CStartOnlyLauncher final : public IEngineLauncher {
public:
    explicit CStartOnlyLauncher(ILauncherEventListener* listener);
    ~CStartOnlyLauncher() override;

    void Begin() override;
    void Detach() override { listener_ = nullptr; }

    static EngineLauncherFactory Factory();

private:
    static void OnStartTimer(void* self);
    void Start();

    ILauncherEventListener* listener_;
    vzSmartPtr timer_;
};
