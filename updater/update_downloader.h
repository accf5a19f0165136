// CDownloader: one update pass of the download engine. It fetches the
// manifest, then the digest files and archives the manifest calls for (the
// update file list decides, checks and unpacks them), retries failures while
// an entry has tries left, waits for an update server that cannot be
// reached, and finally starts the engine (RunBinary) and reports the
// outcome to its launcher.
//
// Ownership: the launcher (CEngineLauncher) owns the downloader; the
// downloader owns its file list, its sessions and its wait timer.
//
// Thread: the service worker (HTTP events, the wait timer) or the caller of
// BeginUpdate, always with the service lock held. Every listener call is
// the last thing an operation does: the launcher's reaction may destroy
// this downloader inside it.
//
// Bounded: the wait ticks at most kMaxWaitTicks times, then the pass
// finishes with what is installed; FinishUpdate runs once per pass; after
// Stop nothing more happens and nothing more is reported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "service/base/vz_smart_ptr.h"
#include "updater/download_file_list.h"
#include "updater/download_session.h"

class IDownloaderEventListener {
public:
    virtual void OnUpdateStalled() = 0;
    virtual void OnUpdateFileStarted(const char* url, std::int64_t size) = 0;
    virtual void OnUpdateProgress(const char* url, std::int64_t received) = 0;
    virtual void OnPatchResult(int started, int allGood, const std::string& version) = 0;
    virtual void OnUpdateFailed(int kind) = 0;

protected:
    ~IDownloaderEventListener() = default;
};

// "https://" + the update server + the manifest's path.
std::string UpdateManifestUrl();

// An install that did not bring the manifest's version makes the later
// passes of the same service fetch nothing (instead of installing the same
// archive at every launch); a new service start tries again.
void ResetUpdateVersionCheck();

class CDownloader final : public IDownloadSessionEventListener {
public:
    static constexpr std::uint32_t kWaitIntervalMs = 1000;
    static constexpr int kMaxWaitTicks = 60;

    explicit CDownloader(IDownloaderEventListener* listener);
    ~CDownloader();
    CDownloader(const CDownloader&) = delete;
    CDownloader& operator=(const CDownloader&) = delete;

    // Starts the pass with the manifest.
    void BeginUpdate();
    // Fetches the next entry on an idle session (a new one when `create`);
    // with the list empty, finishes the pass. True when a fetch started.
    bool StartNext(bool create);
    // Starts the engine and reports the outcome; once per pass.
    void FinishUpdate();
    // Ends the pass without a report: sessions closed, timer stopped.
    void Stop();

    bool Waiting() const { return static_cast<bool>(waitTimer_); }
    int AllGood() const { return allGood_; }
    std::size_t SessionCount() const { return sessions_.size(); }
    CDownloadFileList& FileList() { return files_; }

    // IDownloadSessionEventListener
    void OnSessionConnected(CDownloadSession* session) override;
    void OnSessionComplete(CDownloadSession* session, const DownloadResult& result) override;
    void OnSessionError(CDownloadSession* session, int code) override;
    void OnFileSize(CDownloadSession* session, const char* url, std::int64_t size) override;
    void OnFileProgress(CDownloadSession* session, const char* url, std::int64_t received) override;

private:
    static void OnWaitTick(void* self);
    void StartWaiting();
    void StopWaiting();
    // Sessions that ended in an error are deleted here, never inside their
    // own call.
    void DeleteEndedSessions();

    IDownloaderEventListener* listener_;
    CDownloadFileList files_;  // installs into the engine folder
    int allGood_ = 1;
    std::vector<std::unique_ptr<CDownloadSession>> sessions_;
    std::vector<std::unique_ptr<CDownloadSession>> ended_;
    vzSmartPtr waitTimer_;
    int waitTicks_ = 0;
    bool finished_ = false;
    bool stopped_ = false;
    bool installed_ = false;  // an archive was installed in this pass
};
