// The running job's events of CTLXDownloaderDlg.
#include "launcher/application_start.h"
#include "launcher/file_list.h"
#include "launcher/presentation.h"
#include "launcher/resume_prompt.h"
#include "launcher/tlx_downloader_dlg.h"
#include "platform/kernel.h"
#include "platform/text.h"
#include "service/base/status_codes.h"

namespace {
int Percent(std::int32_t value) {
    return value < 0 ? 0 : value > 100 ? 100 : value;
}

// "HH:MM:SS" of the local time `seconds` from now.
std::u16string TimeOfDayIn(std::int64_t seconds) {
    const std::string text = plat::LocalTimeText(plat::CalendarSeconds() + seconds);
    return plat::AnsiToWide(text.size() >= 19 ? text.substr(11, 8) : text);
}
}  // namespace

bool CTLXDownloaderDlg::IsCurrentJob(plat::LParam job) const {
    // An event of a job that was stopped (or that finished) before its
    // message came through must not act on the window's present state.
    return job != 0 && job_ != nullptr && job == reinterpret_cast<plat::LParam>(job_);
}

void CTLXDownloaderDlg::OnTransferStarts() {
    JobStartInfo info;
    // Nothing of the record is shown; taking it empties it.
    (void)service_.GetJobStartInfo(job_, &info);
    SetLabel(kLabelRemaining, u"00:00:00");
    RefreshLabels();
}

void CTLXDownloaderDlg::OnProgress() {
    JobProgress progress;
    if (service_.GetJobProgress(job_, &progress) != kResultOk) return;
    window_.SetBarPosition(kCurrentFileBar, Percent(progress.currentPercent));
    window_.SetBarPosition(kOverallBar, Percent(progress.percent));
    SetLabel(kLabelRemaining, FormatDuration(progress.left));
    SetLabel(kLabelElapsed, FormatDuration(progress.elapsed));
    SetLabel(kLabelReceived, FormatSize(ByteCountAsDouble(progress.held)));
    SetLabel(kLabelTotal, FormatSize(ByteCountAsDouble(progress.total)));
    SetLabel(kLabelSpeed, FormatSpeed(progress.rate));
    window_.PushGraphSample(GraphSample(progress.rate));
    window_.SetWindowTitle(std::u16string(plat::AnsiToWide(std::to_string(Percent(progress.percent)))) +
                           u"% - " + kMainWindowTitle);
    RefreshLabels();
}

void CTLXDownloaderDlg::OnFileFinished() {
    JobFileEvent event;
    // A record the service could not fill stays empty, handled below.
    (void)service_.PopJobFileEvent(job_, &event);
    ++fileIndex_;
    ++fileNumber_;
    UpdateFileLabel();
    // An empty queue leaves the record empty: no file to consider.
    if (event.text.empty()) return;
    const std::u16string path = PathOfFileEventText(plat::AnsiToWide(event.text), fileUrlSet_);
    if (IsInstallerFile(path, fileUrls_.size())) installerPath_ = path;
}

void CTLXDownloaderDlg::OnJobFinished() {
    JobCompletion completion;
    // Nothing of the record is shown; taking it empties it.
    (void)service_.GetJobCompletion(job_, &completion);
    StopDownload();
    SetLabel(kLabelRemaining, u"00:00:00");
    // Every file is whole: both bars say so, whatever the last progress
    // record caught.
    window_.SetBarPosition(kCurrentFileBar, 100);
    window_.SetBarPosition(kOverallBar, 100);
    finished_ = true;
    window_.EnableControl(kRunButton, true);
    window_.EnableControl(kStartStopButton, false);
    window_.EnableControl(kFolderButton, false);
    RefreshLabels();
    window_.NotifyPlayer(kMainWindowTitle, u"下載完成，可以執行安裝。");
}

void CTLXDownloaderDlg::OnJobMessage() {
    std::int32_t code = kResultOk;
    std::string text;
    // Without a message the code stays 512, which shows nothing.
    (void)service_.PopJobMessage(job_, &code, &text);
    switch (code) {
        case kReasonDiskFull: {
            std::int64_t remaining = 0;
            // An unknown remainder shows as 0 B.
            (void)service_.GetRemainingBytes(job_, &remaining);
            StopDownloadShowingIt();
            ShowGameBox(u"硬碟(" + downloadFolder_ + u")的空間不足(" +
                        FormatSize(ByteCountAsDouble(remaining)) + u")。");
            break;
        }
        case kReasonNetworkDown:
            ShowGameBox(u"您的網路狀態不佳");
            break;
        case kReasonNetworkBack:
            ShowGameBox(u"您的網路回復正常");
            break;
        case kReasonDownloadFailed:
            // The service has let the job go: the window stops showing it
            // as running (the button offers Start again).
            StopDownloadShowingIt();
            window_.NotifyPlayer(kMainWindowTitle, u"下載ZK4失敗");
            ShowGameBox(WithCause(u"下載ZK4失敗\n請稍候再試", text));
            break;
        case kReasonRetryWaiting: {
            // Nothing moves until the next try: no speed, no graph.
            std::int64_t seconds = 0;
            std::string why;
            const bool timed = ParseRetryText(text, &seconds, &why);
            SetLabel(kLabelSpeed, timed ? u"連線中斷，" + TimeOfDayIn(seconds) + u" 重試"
                                        : std::u16string(u"連線中斷，稍後重試"));
            RefreshLabels();
            break;
        }
        case kReasonRetrying:
            SetLabel(kLabelSpeed, u"重新連線中…");
            RefreshLabels();
            break;
        case kReasonPreparingEngine:
            // Until the engine takes the job nothing moves: say why.
            SetLabel(kLabelSpeed, u"正在準備下載引擎…");
            RefreshLabels();
            break;
        case kReasonMovedToDirect:
            SetLabel(kLabelSpeed, FormatSpeed(0));
            RefreshLabels();
            break;
        default:
            break;  // 512: nothing was queued
    }
}

void CTLXDownloaderDlg::OnResumeQuestion() {
    CJob* const asking = job_;
    CResumeDlg prompt;
    window_.RunResumePrompt(prompt);
    // The job may have been stopped or finished while the prompt was open;
    // a reply then has nobody waiting for it.
    // A job the service has let go has no question waiting for the answer.
    if (job_ == asking) (void)service_.AnswerResume(asking, prompt.Continue(), prompt.ApplyToAll());
}
