// Starting and stopping the job, the consent box and the folder choice of
// CTLXDownloaderDlg.
#include "launcher/application_start.h"
#include "launcher/download_folder.h"
#include "launcher/presentation.h"
#include "launcher/tlx_downloader_dlg.h"
#include "platform/text.h"
#include "service/base/status_codes.h"

void CTLXDownloaderDlg::OnStartStopClicked() {
    if (destroyed_) return;
    if (job_) {
        StopDownloadShowingIt();
        return;
    }
    if (finished_) return;
    StartDownload();
}

void CTLXDownloaderDlg::StartDownload() {
    const std::string key = plat::WideToAnsi(serviceKey_);
    const std::string folder = plat::WideToAnsi(downloadFolder_);
    // The key names the game to an engine; a job runs without it too.
    (void)service_.SetServiceKey(key);
    CJob* job = nullptr;
    if (service_.CreateJob(&job, key) != kResultOk) job = nullptr;
    job_ = job;
    if (job_) {
        // Only an engine reads the flag; the direct download runs without it.
        (void)service_.SetJobEngineFlag(job_);
        bool folderUnusable = false;
        for (const std::u16string& url : fileUrls_)
            folderUnusable |=
                service_.AddJobFile(job_, plat::WideToAnsi(url), folder) == kResultBadFolder;
        if (folderUnusable) {
            // The folder cannot be made: a started job would fetch nothing
            // while the button promised a download.
            StopDownload();
            ShowProgramBox(u"選擇的路徑無法使用");
            return;
        }
        if (service_.StartJob(job_, consent_ != u"1" ? 1 : 0) != kResultOk) {
            // Nothing to fetch yet (the list has not arrived) or no service:
            // the button must not show Stop for a job that does not run.
            StopDownload();
            return;
        }
        WriteDownloadPathValue(kDownloadPathValueName, downloadFolder_);
    }
    RefreshStartButton();
}

void CTLXDownloaderDlg::StopDownload() {
    window_.SetWindowTitle(kMainWindowTitle);
    if (finished_) return;
    if (job_) {
        // The job goes either way: one the service no longer holds or knows
        // is already stopped or gone.
        (void)service_.StopJob(job_);
        (void)service_.RemoveJob(job_);
        job_ = nullptr;
        fileIndex_ = 0;
        fileNumber_ = 1;
    }
    RefreshStartButton();
}

void CTLXDownloaderDlg::StopDownloadShowingIt() {
    const bool running = job_ != nullptr && !finished_;
    StopDownload();
    if (!running) return;
    // A job that no longer runs moves nothing.
    SetLabel(kLabelSpeed, FormatSpeed(0));
    RefreshLabels();
}

void CTLXDownloaderDlg::RefreshStartButton() {
    window_.EnableControl(kRunButton, false);
    window_.SetStartStopFace(job_ ? StartStopFace::kStop : StartStopFace::kStart);
    window_.EnableControl(kFolderButton, job_ == nullptr);
    for (int id : {kRemainingLabel, kTotalLabel, kFolderLabel, kFileLabel, kStartStopButton,
                   kCloseButton, kFolderButton, kCurrentFileBar, kConsentCheckBox})
        window_.RedrawControl(id);
}

void CTLXDownloaderDlg::OnConsentClicked(bool ticked) {
    if (destroyed_) return;
    if (ticked) {
        consent_ = u"2";
        return;
    }
    const MessageBoxAnswer answer =
        Ask(u"不同意超高速下載時，以一般下載方式進行。\n要使用一般下載方式進行嗎？", programName_);
    if (answer != MessageBoxAnswer::kNo) {
        consent_ = u"1";
        return;
    }
    consent_ = u"2";
    window_.SetCheck(kConsentCheckBox, true);
    window_.RedrawControl(kConsentCheckBox);
}

void CTLXDownloaderDlg::OnFolderClicked() {
    if (destroyed_ || job_ || finished_) return;
    // The browser can only preselect a folder that exists: the folder is
    // made when its parent is there, else the browser opens at the nearest
    // parent that is.
    EnsureDownloadFolderExists(downloadFolder_);
    FolderBrowseRequest request;
    request.title = BrowseTitleText();
    request.initialFolder = NearestExistingFolder(downloadFolder_);
    request.selectionText = [](const std::u16string& selection) {
        return BrowseSelectionText(selection);
    };
    std::optional<std::u16string> chosen = window_.BrowseForFolder(request);
    // An empty answer is a selection without a file-system path.
    if (!chosen || chosen->empty()) return;
    const std::u16string path = WithTrailingSeparator(*chosen);
    if (IsEngineFolder(path)) {
        ShowProgramBox(u"選擇的路徑無法使用");
        return;
    }
    // A job started while the browser was open keeps its own folder.
    if (job_ || finished_) return;
    SetDownloadFolder(path);
    folderChosen_ = true;
    window_.SetControlText(kFolderLabel, downloadFolder_);
}
