#include "updater/update_launcher.h"

#include "service/base/service_log.h"
#include "transport/cp_timer.h"

namespace {
// The next tick of the timer manager: as soon as the worker is free.
constexpr std::uint32_t kBeginDelayMs = 1;
}  // namespace

CEngineLauncher::CEngineLauncher(ILauncherEventListener* target)
    : downloader_(std::make_unique<CDownloader>(this)), target_(target) {}

CEngineLauncher::~CEngineLauncher() {
    target_ = nullptr;
    if (beginTimer_) (void)beginTimer_.As<cpCTimer>()->Stop();  // stopping cannot fail
    downloader_.reset();                                        // logs "Finalize Downloader"
}

EngineLauncherFactory CEngineLauncher::Factory() {
    return [](ILauncherEventListener* target) -> std::unique_ptr<IEngineLauncher> {
        return std::make_unique<CEngineLauncher>(target);
    };
}

void CEngineLauncher::Begin() {
    // The pass may end at once (nothing reachable); its report must still
    // come after Begin returns.
    if (!beginTimer_ && beginTimer_.CreateInstance(kClassTimer) &&
        vzSucceeded(beginTimer_.As<cpCTimer>()->Start(kBeginDelayMs, &CEngineLauncher::OnBeginTimer,
                                                      this, kTimerIdNone, nullptr)))
        return;
    downloader_->BeginUpdate();
}

void CEngineLauncher::OnBeginTimer(void* self) {
    auto* launcher = static_cast<CEngineLauncher*>(self);
    (void)launcher->beginTimer_.As<cpCTimer>()->Stop();  // once: the timer is periodic
    launcher->downloader_->BeginUpdate();
}

void CEngineLauncher::Detach() {
    target_ = nullptr;
    if (beginTimer_) (void)beginTimer_.As<cpCTimer>()->Stop();  // stopping cannot fail
    downloader_->Stop();
}

void CEngineLauncher::OnUpdateStalled() {
    if (target_) target_->OnUpdateStalled();
}

void CEngineLauncher::OnUpdateFileStarted(const char* url, std::int64_t size) {
    if (target_) target_->OnUpdateFileStarted(url, size);
}

void CEngineLauncher::OnUpdateProgress(const char* url, std::int64_t received) {
    if (target_) target_->OnUpdateProgress(url, received);
}

void CEngineLauncher::OnPatchResult(int started, int allGood, const std::string& version) {
    WriteServiceLog(allGood != 0 && !version.empty() ? "[OstrelLib] Patch Success"
                                                     : "[OstrelLib] Patch Fail");
    ILauncherEventListener* target = target_;
    if (!target) return;
    // Last: the engine downloader may delete this launcher.
    if (started == 1 || allGood == 1)
        target->OnEngineStarted(allGood != 0 && !version.empty());
    else
        target->OnEngineStartFailed();
}

void CEngineLauncher::OnUpdateFailed(int kind) {
    if (target_) target_->OnUpdateFailed(kind);
}
