// CTLXDownloaderDlg: the main window's logic. It starts the download
// service, fetches the file list, has the remote sizes summed, lets the
// user choose the folder and start or stop the download, shows progress,
// answers the service's questions and errors with message boxes, and at the
// end starts the downloaded installer and ends the program.
//
// It acts only through IWindowSystem (the window) and IServiceClient (the
// service), on the user-interface thread, and keeps no timers: every change
// is driven by a call below. A front end:
//   1. constructs it with its window operations and a service client whose
//      notification window hands every posted message back to HandleMessage
//      on the user-interface thread;
//   2. calls OnInitDialog once its window exists;
//   3. passes every message it gets for the window (0x2B10, 0x2B11, 0x401) to
//      HandleMessage, and the clicks, Escape and the system's close request
//      to the handlers;
//   4. calls OnDestroy when the window goes, whatever ended it (EndDialog or
//      PostQuit); nothing is handled after that.
// Message boxes and the resume prompt are modal, and service events may
// reach HandleMessage while one is open; the controller is written for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launcher/control_ids.h"
#include "launcher/file_list.h"
#include "launcher/service_client.h"
#include "launcher/window_system.h"

class CTLXDownloaderDlg {
public:
    // Texts that a front end shows itself.
    static constexpr char16_t kConsentCaption[] = u"초고속 다운로드 동의";
    static constexpr char16_t kConsentTooltip[] = u"超高速下載只有在下載時才會共享PC資源。";
    // How long the installer's start is waited on before the program ends.
    static constexpr int kInstallerIdleWaitMs = 3000;

    // `programName` captions the boxes that name no caption of their own;
    // `commandLineUrl` is the file-list URL of the command line (or empty).
    CTLXDownloaderDlg(IWindowSystem& window, IServiceClient& service, std::u16string programName,
                      std::u16string commandLineUrl);
    CTLXDownloaderDlg(const CTLXDownloaderDlg&) = delete;
    CTLXDownloaderDlg& operator=(const CTLXDownloaderDlg&) = delete;

    // Starts the service and requests the file list. False when that failed:
    // the user has been told and a quit has been posted.
    bool OnInitDialog();

    // The messages posted to the window; false for any other message.
    bool HandleMessage(std::uint32_t message, plat::WParam wParam, plat::LParam lParam);
    void OnServiceEvent(int code, plat::LParam job);
    void OnRefreshLabels();
    void OnRunInstallerMessage();

    void OnStartStopClicked();
    // The consent box has already changed; `ticked` is its new state.
    void OnConsentClicked(bool ticked);
    void OnFolderClicked();
    void OnRunClicked();
    void OnCloseClicked();
    void OnEscapeKey() { OnCloseClicked(); }
    void OnSystemClose();
    void OnDestroy();

    // Label 1019 is drawn in yellow once this is true.
    bool Finished() const { return finished_; }
    bool HasJob() const { return job_ != nullptr; }
    const std::u16string& DownloadFolder() const { return downloadFolder_; }
    const std::vector<std::u16string>& FileUrls() const { return fileUrls_; }
    const FileUrlSet& KnownFileUrls() const { return fileUrlSet_; }
    const std::u16string& Consent() const { return consent_; }
    const std::u16string& InstallerPath() const { return installerPath_; }
    const std::u16string& ProgramName() const { return programName_; }
    // The stored text of one of the seven labels (empty for other ids).
    std::u16string LabelText(int controlId) const;
    // The list line that was refused, in English ("line N: URL: why"); ""
    // when none was.
    const std::string& ListProblem() const { return listProblem_; }
    // The banner's address: the publisher's when set, else the CDN pattern.
    std::u16string BannerUrl() const;

private:
    enum Label {
        kLabelFile,
        kLabelReceived,
        kLabelTotal,
        kLabelRemaining,
        kLabelElapsed,
        kLabelSpeed,
        kLabelFolder,
        kLabelCount
    };

    // The file list and the size check (dlg_file_list.cpp).
    void OnFileListFetched();
    // Takes the URLs; false when the list is unusable (the user was told).
    bool ParseFileList(const std::string& bytes);
    void StartSizeCheck();
    void OnSizeKnown();
    void UpdateFileLabel();

    // Starting and stopping the job (dlg_job_control.cpp).
    void StartDownload();
    void StopDownload();
    void RefreshStartButton();

    // The job's events (dlg_job_events.cpp).
    bool IsCurrentJob(plat::LParam job) const;
    void OnTransferStarts();
    void OnProgress();
    void OnFileFinished();
    void OnJobFinished();
    void OnJobMessage();
    void OnResumeQuestion();

    // The installer (dlg_closing.cpp).
    bool RunInstaller(const std::u16string& path);

    // Texts and boxes (tlx_downloader_dlg.cpp).
    void SetLabel(Label label, std::u16string text);
    void RefreshLabels();
    // StopDownload for a job that was running: its speed goes to 0.
    void StopDownloadShowingIt();
    std::string listProblem_;
    void SetDownloadFolder(std::u16string folder);
    void ShowProgramBox(const std::u16string& text,
                        MessageBoxIcon icon = MessageBoxIcon::kExclamation);
    void ShowGameBox(const std::u16string& text);
    // The box text followed by what caused it (a server's answer, a system
    // error), when the service named a cause.
    static std::u16string WithCause(const std::u16string& text, const std::string& cause);
    MessageBoxAnswer Ask(const std::u16string& text, const std::u16string& caption);

    IWindowSystem& window_;
    IServiceClient& service_;
    const std::u16string programName_;
    const std::u16string commandLineUrl_;

    std::u16string serviceKey_;
    std::u16string publisherId_;
    std::u16string consent_ = u"2";
    std::u16string publisherBannerUrl_;
    std::u16string fileListUrl_;
    std::u16string downloadFolder_;
    // Set once the user picked a folder, which the size check's result then keeps.
    bool folderChosen_ = false;
    std::vector<std::u16string> fileUrls_;
    FileUrlSet fileUrlSet_;  // the same URLs, for finding them in event texts
    CJob* job_ = nullptr;
    std::int32_t fileIndex_ = 0;
    std::int32_t fileNumber_ = 1;
    bool finished_ = false;
    bool destroyed_ = false;
    std::u16string installerPath_;
    std::u16string labels_[kLabelCount];
};
