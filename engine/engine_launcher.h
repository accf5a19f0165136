// The engine launcher as the engine downloader sees it: one launch of the
// download engine (an update pass, then the start), reporting through
// ILauncherEventListener. The engine downloader creates a launcher for every
// launch through the factory it was given, so the pass behind it (a start
// only, or the updater's update-then-start) is the service's choice.
//
// Every call runs on the worker thread (or an entry point's thread) with the
// service lock held. A listener call may destroy the launcher; a launcher
// calls its listener as the last thing it does, and does nothing towards a
// detached listener.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class ILauncherEventListener {
public:
    virtual void OnUpdateFileStarted(const char* url, std::int64_t size) = 0;
    virtual void OnUpdateProgress(const char* url, std::int64_t received) = 0;
    // `passGood`: the pass brought what the update server names (for a
    // start without update: true).
    virtual void OnEngineStarted(bool passGood) = 0;
    virtual void OnEngineStartFailed() = 0;
    virtual void OnUpdateStalled() = 0;
    virtual void OnUpdateFailed(int kind) = 0;

protected:
    ~ILauncherEventListener() = default;
};

class IEngineLauncher {
public:
    virtual ~IEngineLauncher() = default;
    // Starts the pass; its outcome arrives later, never inside this call.
    virtual void Begin() = 0;
    // No listener call follows, even from work already under way.
    virtual void Detach() = 0;
};

using EngineLauncherFactory =
    std::function<std::unique_ptr<IEngineLauncher>(ILauncherEventListener* listener)>;
