// CEngineDownloader: the job downloader that carries jobs out through the
// download engine. It keeps the engine current and running through a
// launcher (one per launch, from the factory it is given), holds the one
// loopback connection to the engine, describes each attached job to it,
// turns the engine's reports into the jobs' notices and progress, and gives
// jobs up to the direct downloader (through its listener, the job manager)
// whenever the engine cannot serve them.
//
// Launches: a closed connection starts a new launch, at most kMaxLaunches in
// a row while no connection lasts longer than 30 s, each after a pause twice
// as long as the one before; after that, or when the engine cannot be
// started at all, or another program of this user holds the engine's port,
// the engine is given up (OnEngineFailed) and the job manager moves every
// running job to direct download.
//
// Never trusted, the engine is watched and checked: a job not accepted
// within 30 s of its description, or an accepted one without any message for
// 60 s, closes the link (which counts as a launch); a job described six
// times goes direct; the listener on the engine's port must belong to our
// own user; a completed file's path must be one of the job's files, and a
// stored path an existing file inside the job's folder (the window may start
// it as the installer); an end without fallback but with fewer files than
// the job has is a fallback. Before a job moves to direct download the
// engine is told to cancel it, so two writers never share a file.
//
// Thread: every call runs with the service lock held (entry points on the
// caller's thread, socket events, timers and launcher reports on the
// worker). Retire, called by the job manager when it gives the engine up,
// makes the downloader inert: link and launcher closed, jobs released, the
// tick stopped, every later callback ignored; it is deleted later, outside
// its own calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_launcher.h"
#include "engine/engine_progress.h"
#include "engine/local_client_interfaces.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/job_downloader.h"

// The limits the engine downloader watches the engine by; tests shorten them.
struct EngineLinkLimits {
    int maxLaunches = 6;
    int maxDescriptions = 6;
    std::int64_t acceptWaitMs = 30000;
    std::int64_t silenceMs = 60000;
    std::int64_t longConnectionMs = 30000;  // a connection this long resets the launches
    // The pause before a relaunch doubles with every launch in a row, from
    // the first to the last value (250, 500, 1000, 2000, 4000 ms).
    std::int64_t relaunchPauseMs = 250;
    std::int64_t relaunchPauseMaxMs = 4000;
    // The monotonic clock in ms (tests move it); empty: plat::MonotonicMs.
    std::function<std::int64_t()> clock;
};

class CEngineDownloader final : public CJobDownloader,
                                public ILauncherEventListener,
                                public nwICDNLocalClientEventListener {
public:
    using Limits = EngineLinkLimits;

    CEngineDownloader(IJobDownloadEventListener* listener, cpCMutex* serviceLock,
                      EngineLauncherFactory launcherFactory, Limits limits = Limits());
    ~CEngineDownloader() override;

    // CJobDownloader
    ServiceResult Begin(CJob* job) override;
    void End(CJob* job) override;
    void CheckJob(CJob* job) override;
    ServiceResult OnResumeAnswer(CJob* job, std::int32_t first, std::int32_t second) override;
    void Retire() override;

    // The key the engine is told on every connection (and at once on an
    // open one).
    void SetServiceKey(const std::string& key);
    // JobOption (13) for an accepted job; nothing without a connection.
    void SendJobOption(CJob* job, std::uint8_t value);

    bool Connected() const { return connection_ && lastConnected_ != 0; }
    bool Retired() const { return retired_; }
    int Launches() const { return launches_; }

    // ILauncherEventListener
    void OnUpdateFileStarted(const char* url, std::int64_t size) override;
    void OnUpdateProgress(const char* url, std::int64_t received) override;
    void OnEngineStarted() override;
    void OnEngineStartFailed() override;
    void OnUpdateStalled() override;
    void OnUpdateFailed(int kind) override;

    // nwICDNLocalClientEventListener
    void OnConnected(std::uint32_t context) override;
    void OnJobAccepted(const JobAccepted& record, std::uint32_t context) override;
    void OnJobFailed(const JobFailed& record, std::uint32_t context) override;
    void OnProgressReport(const ProgressReport& record, std::uint32_t context) override;
    void OnFileDone(const FileDone& record, std::uint32_t context) override;
    void OnFileDoneAt(const FileDone& record, std::uint32_t context) override;
    void OnJobEnded(const JobEnded& record, std::uint32_t context) override;
    void OnJobState(const JobStateRecord& record, std::uint32_t context) override;
    void OnNetworkLost(std::uint32_t context) override;
    void OnNetworkRestored(std::uint32_t context) override;
    void OnClosed(std::uint32_t context) override;
    void OnConnectFailed(std::uint32_t context) override;
    void OnResumeQuestion(std::uint32_t jobKey) override;

private:
    struct Entry {
        std::int32_t engineJob = -1;
        std::uint32_t jobKey = 0;
        CJob* job = nullptr;
        bool accepted = false;
        std::int64_t describedAt = 0;
        std::int64_t lastMessageAt = 0;
        EngineJobRings rings;
    };

    std::int64_t Now() const;
    void Launch();
    void Connect();
    // Gives the link up: listener detached, closed (unless it is closing
    // already) and handed to the deferred-release collector.
    void DropLink(bool close);
    vzICDNLocalClientLayer* Layer() const;
    Entry* FindEntry(std::uint32_t jobKey);
    Entry* FindEntry(std::uint32_t jobKey, std::uint32_t engineJob);
    void RemoveEntry(const Entry* entry);
    // Cancels the job at the engine (when it knows it), lets it go and hands
    // it to the direct downloader with message 518.
    void MoveToDirect(CJob* job, const Entry* entry, const char* why);
    // Whether the engine's port is held by our own user.
    bool PortIsOurs() const;
    // Who holds the engine's port when it is a program of this user that is
    // no engine ("process 123, /usr/bin/x"); "" when it is an engine or
    // cannot be told.
    std::string ForeignListener() const;
    // The relaunch after a short-lived connection, after its pause.
    void ScheduleRelaunch();
    static void OnRelaunchTimer(void* self);
    void StopRelaunchTimer();
    // The path a completed file is reported under: the engine's, when it is
    // one of the job's files; else the job's own path of the file the URL
    // names; "" when neither.
    std::string ReportedPath(const CJob& job, const std::string& path,
                             const std::string& url) const;
    // A stored path the window may start: an existing regular file inside
    // the job's folder, absolute and without "..", else the job's own path.
    std::string StoredPath(const CJob& job, const std::string& stored,
                           const std::string& ownPath) const;
    void CompleteFile(const FileDone& record, bool at);

    EngineLauncherFactory factory_;
    Limits limits_;
    std::unique_ptr<IEngineLauncher> launcher_;
    std::unique_ptr<IEngineLauncher> retiredLauncher_;  // detached; deleted with this object
    vzSmartPtr connection_;
    vzSmartPtr relaunchTimer_;  // a cpCTimer while a relaunch waits
    std::uint16_t port_ = 0;
    int launches_ = 0;
    std::int64_t lastConnected_ = 0;  // monotonic ms; 0: none since the last reset
    std::string serviceKey_;
    std::vector<Entry> entries_;
    // How often each job was described, across launches.
    std::vector<std::pair<const CJob*, int>> descriptions_;
    bool retired_ = false;
};
