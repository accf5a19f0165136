#include "launcher/tlx_downloader_dlg.h"

#include "launcher/cause_texts.h"
#include "launcher/download_folder.h"
#include "launcher/server_addresses.h"
#include "platform/text.h"
#include "service/base/status_codes.h"

namespace {

// The labels in the order of the controller's texts.
constexpr int kLabelIds[] = {kFileLabel,    kReceivedLabel,    kTotalLabel, kRemainingLabel,
                             kElapsedLabel, kSpeedStatusLabel, kFolderLabel};

constexpr char16_t kServiceKey[] = u"joltwave_zorakine4";
constexpr char16_t kPublisherId[] = u"joltwave";

}  // namespace

CTLXDownloaderDlg::CTLXDownloaderDlg(IWindowSystem& window, IServiceClient& service,
                                     std::u16string programName, std::u16string commandLineUrl)
    : window_(window),
      service_(service),
      programName_(std::move(programName)),
      commandLineUrl_(std::move(commandLineUrl)) {
    SetDownloadFolder(StoredOrDefaultDownloadFolder());
}

bool CTLXDownloaderDlg::OnInitDialog() {
    serviceKey_ = kServiceKey;
    publisherId_ = kPublisherId;
    consent_ = u"2";
    publisherBannerUrl_ = DefaultPublisherBannerUrl();
    fileListUrl_ = commandLineUrl_.empty() ? DefaultFileListUrl() : commandLineUrl_;

    if (service_.InitializeService() != kResultOk) {
        ShowProgramBox(u"初始化失敗。");
        window_.PostQuit(1);
    }
    if (service_.LoadDocument(plat::WideToAnsi(fileListUrl_)) != kResultOk) {
        ShowProgramBox(u"下載檔案目錄失敗。");
        window_.PostQuit(1);
        return false;
    }

    window_.EnableControl(kRunButton, false);
    window_.NavigateBanner(BannerUrl());
    if (consent_ == u"1") {
        window_.SetCheck(kConsentCheckBox, false);
    } else {
        consent_ = u"2";
        window_.SetCheck(kConsentCheckBox, true);
    }
    // The key names the game to an engine; a job runs without it too.
    (void)service_.SetServiceKey(plat::WideToAnsi(serviceKey_));
    RefreshLabels();
    return true;
}

bool CTLXDownloaderDlg::HandleMessage(std::uint32_t message, plat::WParam wParam,
                                      plat::LParam lParam) {
    switch (message) {
        case kMessageServiceEvent:
            OnServiceEvent(static_cast<int>(wParam), lParam);
            return true;
        case kMessageRefreshLabels:
            OnRefreshLabels();
            return true;
        case kMessageRunInstaller:
            OnRunInstallerMessage();
            return true;
        default:
            return false;
    }
}

void CTLXDownloaderDlg::OnServiceEvent(int code, plat::LParam job) {
    // Events still queued when the window went find a finalised service.
    if (destroyed_) return;
    const bool jobEvent =
        (code >= kEventJobStart && code <= kEventJobMessage) || code == kEventResumePrompt;
    if (jobEvent && !IsCurrentJob(job)) return;
    switch (code) {
        case kEventJobStart:
            OnTransferStarts();
            break;
        case kEventJobProgress:
            OnProgress();
            break;
        case kEventFileCompleted:
            OnFileFinished();
            break;
        case kEventJobCompleted:
            OnJobFinished();
            break;
        case kEventJobMessage:
            OnJobMessage();
            break;
        case kEventResumePrompt:
            OnResumeQuestion();
            break;
        case kEventDocumentComplete:
            OnFileListFetched();
            break;
        case kEventDocumentFailed:
            ShowGameBox(WithCause(u"下載檔案目錄失敗", service_.DocumentFailure()));
            StopDownload();
            window_.PostQuit(1);
            break;
        case kEventLengthsKnown:
            OnSizeKnown();
            break;
        case kEventLengthCheckFailed:
            ShowProgramBox(WithCause(u"檔案大小確認失敗", service_.SizeCheckFailure()),
                           MessageBoxIcon::kNone);
            window_.PostQuit(1);
            break;
        default:
            break;  // engine update news, path failures, the document heartbeat
    }
}

void CTLXDownloaderDlg::OnRefreshLabels() {
    if (!destroyed_) RefreshLabels();
}

std::u16string CTLXDownloaderDlg::LabelText(int controlId) const {
    for (int i = 0; i < kLabelCount; ++i)
        if (kLabelIds[i] == controlId) return labels_[i];
    return std::u16string();
}

std::u16string CTLXDownloaderDlg::BannerUrl() const {
    if (!publisherBannerUrl_.empty()) return publisherBannerUrl_;
    return CdnBannerUrl(publisherId_, serviceKey_);
}

void CTLXDownloaderDlg::SetLabel(Label label, std::u16string text) {
    labels_[label] = std::move(text);
}

void CTLXDownloaderDlg::RefreshLabels() {
    for (int i = 0; i < kLabelCount; ++i) window_.SetControlText(kLabelIds[i], labels_[i]);
}

void CTLXDownloaderDlg::SetDownloadFolder(std::u16string folder) {
    downloadFolder_ = std::move(folder);
    SetLabel(kLabelFolder, downloadFolder_);
}

void CTLXDownloaderDlg::ShowProgramBox(const std::u16string& text, MessageBoxIcon icon) {
    window_.ShowMessageBox(text, programName_, MessageBoxButtons::kOk, icon);
}

std::u16string CTLXDownloaderDlg::WithCause(const std::u16string& text, const std::string& cause) {
    if (cause.empty()) return text;
    return text + u"\n\n" + LocalizedCause(cause);
}

void CTLXDownloaderDlg::ShowGameBox(const std::u16string& text) {
    window_.ShowMessageBox(text, u"ZK4", MessageBoxButtons::kOk, MessageBoxIcon::kNone);
}

MessageBoxAnswer CTLXDownloaderDlg::Ask(const std::u16string& text, const std::u16string& caption) {
    return window_.ShowMessageBox(text, caption, MessageBoxButtons::kYesNo,
                                  MessageBoxIcon::kExclamation);
}
