// CEngineLauncher: one launch of the download engine with its update pass.
// It owns the update downloader (CDownloader), relays the pass's progress to
// the engine downloader, and turns the pass's end into the decision whether
// the engine is to be used:
//
//   the update's log line: "Patch Success" when every download was good and
//   the manifest named a version, else "Patch Fail";
//   the engine is ready (OnEngineStarted) when it was started or every
//   download was good, else OnEngineStartFailed.
//
// This is the launch the service uses (Factory); CStartOnlyLauncher is the
// same decision without an update.
//
// Thread: the service worker (or an entry point's thread), service lock
// held. After Detach nothing reaches the engine downloader, and the pass is
// stopped.
#pragma once

#include <memory>

#include "engine/engine_launcher.h"
#include "service/base/vz_smart_ptr.h"
#include "updater/update_downloader.h"

class CEngineLauncher final : public IEngineLauncher, public IDownloaderEventListener {
public:
    explicit CEngineLauncher(ILauncherEventListener* target);
    ~CEngineLauncher() override;

    // IEngineLauncher
    void Begin() override;
    void Detach() override;

    static EngineLauncherFactory Factory();

    // IDownloaderEventListener
    void OnUpdateStalled() override;
    void OnUpdateFileStarted(const char* url, std::int64_t size) override;
    void OnUpdateProgress(const char* url, std::int64_t received) override;
    void OnPatchResult(int started, int allGood, const std::string& version) override;
    void OnUpdateFailed(int kind) override;

private:
    static void OnBeginTimer(void* self);

    std::unique_ptr<CDownloader> downloader_;
    vzSmartPtr beginTimer_;
    ILauncherEventListener* target_;
};
