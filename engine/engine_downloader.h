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
// Never trusted, the engine is watched and checked. Each job is described
// with the sizes the service knows (the file list's sum, else its own size
// probe first), and a file counts as done only when a regular file of
// exactly its size sits at the job's own path; a job the engine ends as
// complete with a file missing or short goes to direct download for the
// rest. Progress is shown on the service's terms (engine/engine_progress.h).
// A job from which nothing has arrived 30 s after its start (update pass,
// engine start and acceptance included) goes direct; a job not accepted
// within 30 s of its description, or an accepted one without any message
// for 60 s, closes the link (which counts as a launch); a job described six
// times goes direct; the listener on the engine's port must belong to our
// own user; a stored path must be a file of the job's size inside the job's
// folder (the window may start it as the installer). Before a job moves to
// direct download the engine is told to cancel it, so two writers never
// share a file. What the engine's files took is reported like the direct
// path's (through the job manager's reporter), with the engine's own split
// between peers and file servers in the service log.
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
#include "engine/engine_job_watch.h"
#include "engine/engine_progress.h"
#include "engine/local_client_interfaces.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/file_size_checker.h"
#include "transfers/job_downloader.h"
#include "transfers/recent_remote_sizes.h"
#include "transfers/size_check_listeners.h"

// The limits the engine downloader watches the engine by; tests shorten them.
struct EngineLinkLimits {
    int maxLaunches = 6;
    int maxDescriptions = 6;
    std::int64_t acceptWaitMs = 30000;
    std::int64_t silenceMs = 60000;
    std::int64_t longConnectionMs = 30000;  // a connection this long resets the launches
    // From a job's start to its first byte, whatever the servers do.
    std::int64_t firstByteMs = 30000;
    // The pause before a relaunch doubles with every launch in a row, from
    // the first to the last value (250, 500, 1000, 2000, 4000 ms).
    std::int64_t relaunchPauseMs = 250;
    std::int64_t relaunchPauseMaxMs = 4000;
    // The monotonic clock in ms (tests move it); empty: plat::MonotonicMs.
    std::function<std::int64_t()> clock;
};

class CEngineDownloader final : public CJobDownloader,
                                public ILauncherEventListener,
                                public nwICDNLocalClientEventListener,
                                public ICheckerEventListener {
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
    // Called when a link to the engine is up (the engine has run): the
    // updater then lets the version it replaced go.
    void SetLinkUpHook(std::function<void()> hook) { linkUpHook_ = std::move(hook); }
    // Sizes the file list's sum learned, taken as known (not owned; null:
    // every file of unknown size is probed before the job is described).
    void SetRecentSizes(const CRecentRemoteSizes* recent) { recent_ = recent; }
    // JobOption (13) for an accepted job; nothing without a connection.
    void SendJobOption(CJob* job, std::uint8_t value);

    bool Connected() const { return connection_ && lastConnected_ != 0; }
    bool Retired() const { return retired_; }
    int Launches() const { return launches_; }

    // ILauncherEventListener
    void OnUpdateFileStarted(const char* url, std::int64_t size) override;
    void OnUpdateProgress(const char* url, std::int64_t received) override;
    void OnEngineStarted(bool passGood) override;
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

    // ICheckerEventListener: the size probe of a job (the context is its watch).
    void OnSizeCheckCompleted(void* context, const SizeTotals& totals) override;
    void OnSizeCheckFailed(void* context, int code, const std::string& text) override;

private:
    struct Entry {
        std::int32_t engineJob = -1;
        std::uint32_t jobKey = 0;
        CJob* job = nullptr;
        bool accepted = false;
        std::int64_t describedAt = 0;
        std::int64_t lastMessageAt = 0;
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
    void MoveToDirect(CJob* job, const Entry* entry, const std::string& why);
    EngineJobWatch* FindWatch(const CJob* job);
    EngineJobWatch* WatchFor(CJob* job);
    // Reports what the job's files took and forgets the job; its size
    // probe is kept until the next safe point (it may be on the stack).
    void DropWatch(const CJob* job, bool withPartialFiles);
    // Starts the size probe for the files whose size is not known yet.
    void CheckSizes(EngineJobWatch* watch);
    // Describes the job to the engine (its sizes are known, the link is up).
    void Describe(EngineJobWatch* watch);
    // Whether the job has waited past the first-byte bound.
    bool PastFirstByteBound(const EngineJobWatch& watch) const;
    // The index of the job's file the engine means, or -1.
    std::int32_t FileIndexOf(const CJob& job, const std::string& path,
                             const std::string& url) const;
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
    // A stored path the window may start: a regular file of the file's
    // size inside the job's folder, without "." or "..", else the job's own
    // path.
    std::string StoredPath(const CJob& job, const std::string& stored, std::int64_t size,
                           const std::string& ownPath) const;
    void CompleteFile(const FileDone& record, bool at);
    // Tells the window of a verified file, once.
    void ReportFileDone(EngineJobWatch* watch, std::size_t index, const char* stored);

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
    // Every job this downloader holds, across launches.
    std::vector<std::unique_ptr<EngineJobWatch>> watches_;
    // Size probes of jobs that left; deleted at the next safe point.
    std::vector<std::unique_ptr<CPlatformFileSizeChecker>> retiredCheckers_;
    const CRecentRemoteSizes* recent_ = nullptr;
    std::function<void()> linkUpHook_;
    bool retired_ = false;
};
