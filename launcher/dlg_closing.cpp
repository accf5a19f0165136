// Running the installer and closing the window, for CTLXDownloaderDlg.
#include "launcher/tlx_downloader_dlg.h"

void CTLXDownloaderDlg::OnRunClicked() {
    if (destroyed_) return;
    if (!finished_) {
        ShowProgramBox(u"尚未結束下載。");
        return;
    }
    window_.EnableControl(kRunButton, false);
    window_.MoveControl(kSpeedStatusLabel, ControlRect{456, 173, 270, 42});
    window_.RedrawControl(kSpeedStatusLabel);
    SetLabel(kLabelSpeed, u"檢查下載的文件後執行安裝。");
    RefreshLabels();
    window_.PostToWindow(kMessageRunInstaller, 0, 0);
}

void CTLXDownloaderDlg::OnRunInstallerMessage() {
    // Only the Run button's own message, after the job has finished, may
    // start a program.
    if (destroyed_ || !finished_) return;
    const bool started = RunInstaller(installerPath_);
    window_.PostQuit(started ? 0 : 1);
}

bool CTLXDownloaderDlg::RunInstaller(const std::u16string& path) {
    if (path.empty()) {
        ShowProgramBox(u"該路徑(NULL)檔案不存在。");
        return false;
    }
    if (!window_.FileExists(path)) {
        ShowProgramBox(u"該路徑(" + path + u")檔案不存在。");
        return false;
    }
    // "runas" is the verb of every system that knows elevation; where there
    // is none, the front end starts the file as the user.
    return window_.StartProgram(path, u"runas", kInstallerIdleWaitMs);
}

void CTLXDownloaderDlg::OnCloseClicked() {
    if (destroyed_) return;
    if (!job_) {
        window_.EndDialog();
        return;
    }
    if (Ask(u"關閉視窗時，即會中止下載 ZK4\n確定要關閉視窗嗎？", u"ZK4") != MessageBoxAnswer::kYes)
        return;
    StopDownload();
    window_.EndDialog();
}

void CTLXDownloaderDlg::OnSystemClose() {
    if (destroyed_) return;
    if (!job_) {
        window_.EndDialog();
        return;
    }
    if (Ask(u"關閉視窗時，將立即終止下載 ZK4\n確定要關閉視窗嗎？", u"ZK4") !=
        MessageBoxAnswer::kYes)
        return;
    StopDownload();
    window_.EndDialog();
}

void CTLXDownloaderDlg::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    if (job_) StopDownload();
    service_.FinalizeService();
    fileUrls_.clear();
    fileUrlSet_.clear();
}
