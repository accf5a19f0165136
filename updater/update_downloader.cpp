#include "updater/update_downloader.h"

#include <algorithm>
#include <atomic>

#include "engine/engine_paths.h"
#include "service/base/servers.h"
#include "service/base/service_log.h"
#include "transport/cp_timer.h"
#include "updater/engine_install.h"
#include "updater/extract_archive.h"
#include "updater/update_manifest.h"

namespace {

constexpr const char* kManifestPath = "/norvex/tlxdownload/update/v3_32/tlxdownload_updater.xml";

std::string EngineFolder() {
    std::string folder;
    EnginePaths().GetEngineFolder(&folder);
    return folder;
}

}  // namespace

void ResetUpdateVersionCheck() {
    ForgetFailedArchives();
}

std::string UpdateManifestUrl() {
    return "https://" + ServerHost(ServerKind::kUpdate) + kManifestPath;
}

CDownloader::CDownloader(IDownloaderEventListener* listener)
    : listener_(listener), files_(EngineFolder()) {
    WriteServiceLog("[OstrelLib] Initialize Downloader");
}

CDownloader::~CDownloader() {
    Stop();
    sessions_.clear();
    ended_.clear();
    WriteServiceLog("[OstrelLib] Finalize Downloader");
}

void CDownloader::Stop() {
    stopped_ = true;
    StopWaiting();
    for (auto& session : sessions_) session->Detach();
    // Each closes its connection; none reports any more.
    for (auto& session : sessions_) ended_.push_back(std::move(session));
    sessions_.clear();
}

void CDownloader::BeginUpdate() {
    if (stopped_) return;
    // An install a kill interrupted is finished or undone first, and what
    // an interrupted pass left beside the engine goes.
    if (!files_.EngineFolder().empty()) RecoverEngineInstall(files_.EngineFolder());
    WriteServiceLog("[OstrelLib] Begin Update");
    (void)files_.AddFile(UpdateManifestUrl(), "", "", "");  // the list is empty: always added
    (void)StartNext(true);
}

bool CDownloader::StartNext(bool create) {
    if (stopped_ || finished_) return false;
    if (files_.IsEmpty()) {
        FinishUpdate();
        return false;
    }
    CDownloadSession* session = nullptr;
    for (auto& candidate : sessions_)
        if (!candidate->Busy()) {
            session = candidate.get();
            break;
        }
    if (!session && create) {
        sessions_.push_back(std::make_unique<CDownloadSession>(this));
        session = sessions_.back().get();
    }
    if (!session) return false;
    CDownloadFile* entry = files_.NextFile();
    if (!entry) return false;
    session->Attach(entry);
    // May report (and so re-enter) at once; nothing here is touched after.
    session->StartFetch();
    return true;
}

void CDownloader::FinishUpdate() {
    if (finished_ || stopped_) return;
    finished_ = true;
    StopWaiting();
    const bool started = RunBinary();
    std::string exe;
    const bool present = CBinaryExecute_V3().GetExecutablePath(&exe);
    const std::string& wanted = files_.NewVersion();
    // The install proved the new version before it switched; an engine that
    // is still not the manifest's (an archive skipped after it failed to
    // prove itself) makes the pass no good one.
    if (!wanted.empty() && present && InstalledEngineVersion(files_.EngineFolder()) != wanted &&
        (installed_ || files_.SkippedFailedArchive()))
        allGood_ = 0;
    // A pass cannot be good without the engine's executable: with nothing
    // installed the engine would only be connected to in vain.
    const int allGood = allGood_ && present ? 1 : 0;
    IDownloaderEventListener* listener = listener_;
    // Last: the launcher's reaction may destroy this downloader.
    if (listener) listener->OnPatchResult(started ? 1 : 0, allGood, wanted);
}

void CDownloader::DeleteEndedSessions() {
    ended_.clear();
}

void CDownloader::StartWaiting() {
    if (waitTimer_ || stopped_) return;
    files_.SetForced(true);
    waitTicks_ = 0;
    if (!waitTimer_.CreateInstance(kClassTimer) ||
        vzFailed(waitTimer_.As<cpCTimer>()->Start(kWaitIntervalMs, &CDownloader::OnWaitTick, this,
                                                  kTimerIdUpdateWait, nullptr))) {
        // Without a timer there is no waiting: the pass ends with what is there.
        waitTimer_.Reset();
        FinishUpdate();
        return;
    }
    if (listener_) listener_->OnUpdateStalled();  // last
}

void CDownloader::StopWaiting() {
    if (!waitTimer_) return;
    (void)waitTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
    waitTimer_.Reset();
}

void CDownloader::OnWaitTick(void* self) {
    auto* downloader = static_cast<CDownloader*>(self);
    downloader->DeleteEndedSessions();
    if (++downloader->waitTicks_ > kMaxWaitTicks) {
        WriteServiceLog("[OstrelLib] Update server unreachable; update given up");
        downloader->allGood_ = 0;
        downloader->FinishUpdate();  // stops the timer
        return;
    }
    if (downloader->sessions_.empty()) (void)downloader->StartNext(true);
}

void CDownloader::OnSessionConnected(CDownloadSession*) {
    if (stopped_) return;
    DeleteEndedSessions();
    StopWaiting();
    files_.SetForced(false);
}

void CDownloader::OnSessionComplete(CDownloadSession* session, const DownloadResult& result) {
    if (stopped_) return;
    session->Detach();
    if (result.code == 5 || result.code == 7) {
        WriteServiceLogFormat("[OstrelLib] 엔진 다운로드 실패 result : %d", result.code);
        finished_ = true;  // the pass ends here, without a start
        StopWaiting();
        if (listener_) listener_->OnUpdateFailed(1);  // last
        return;
    }
    if ((result.code >= 1 && result.code <= 6) || result.code == kDownloadEngineNotReady)
        allGood_ = 0;
    if (result.kind == kDownloadArchive && result.code == 0) installed_ = true;
    // An engine that did not prove itself is not fetched again (no tries
    // left for it); every other failure may be tried again.
    files_.RemoveFile(result.url, result.code == 0 || result.code == 6 ||
                                      result.code == kDownloadEngineNotReady);
    WriteServiceLogFormat("[OstrelLib] Download Completed (URL: %s)(Code: %d)", result.url.c_str(),
                          result.code);
    if (result.kind == kDownloadManifest) {
        if (files_.IsEmpty()) {
            FinishUpdate();
            return;
        }
        const std::size_t count = files_.Count();
        for (std::size_t i = 0; i < count && !finished_ && !stopped_; ++i)
            if (!StartNext(true)) break;
        return;
    }
    // Any other end (an archive, or data the entry could not use) frees
    // this session for the next entry.
    (void)StartNext(false);
}

void CDownloader::OnSessionError(CDownloadSession* session, int code) {
    if (stopped_) return;
    files_.RemoveFile(session->Url(), false);
    WriteServiceLogFormat("[OstrelLib] Session Error (URL: %s)(Code: %d)", session->Url().c_str(),
                          code);
    session->Detach();
    auto it = std::find_if(sessions_.begin(), sessions_.end(),
                           [session](const auto& s) { return s.get() == session; });
    if (it != sessions_.end()) {
        // Deleted later: this call runs inside the session.
        ended_.push_back(std::move(*it));
        sessions_.erase(it);
    }
    if (code == kUpdateHostUnreachable)
        StartWaiting();
    else
        (void)StartNext(true);
}

void CDownloader::OnFileSize(CDownloadSession*, const char* url, std::int64_t size) {
    if (!stopped_ && listener_) listener_->OnUpdateFileStarted(url, size);
}

void CDownloader::OnFileProgress(CDownloadSession*, const char* url, std::int64_t received) {
    if (!stopped_ && listener_) listener_->OnUpdateProgress(url, received);
}
