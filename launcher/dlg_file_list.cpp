// The file list and the size check of CTLXDownloaderDlg.
#include "launcher/cause_texts.h"
#include "launcher/download_folder.h"
#include "launcher/file_list.h"
#include "launcher/presentation.h"
#include "launcher/required_size.h"
#include "launcher/tlx_downloader_dlg.h"
#include "platform/text.h"

void CTLXDownloaderDlg::OnFileListFetched() {
    std::string bytes;
    service_.FetchDocument(&bytes);
    if (!ParseFileList(bytes)) return;
    if (fileUrls_.empty()) {
        ShowGameBox(u"下載檔案目錄失敗");
        window_.PostQuit(1);
        return;
    }
    StartSizeCheck();
}

bool CTLXDownloaderDlg::ParseFileList(const std::string& bytes) {
    FileListParse parse = ParseFileListBytes(bytes);
    if (!parse.overlongLine) ValidateFileList(&parse);
    // Replaced, not appended: a list delivered twice must not double the job.
    fileUrls_ = std::move(parse.urls);
    fileUrlSet_ = FileUrlSet(fileUrls_.begin(), fileUrls_.end());
    if (!parse.overlongLine && !parse.problem) return true;
    std::u16string text = u"輸入了錯誤的URL";
    if (parse.problem) {
        listProblem_ = "line " + std::to_string(parse.problem->line) + ": " +
                       plat::WideToAnsi(parse.problem->url) + ": " + parse.problem->reason;
        // Which line, and why: the publisher must be able to mend the list.
        text += u"\n" + plat::AnsiToWide("第 " + std::to_string(parse.problem->line) + " 行：") +
                parse.problem->url + u"\n" + LocalizedCause(parse.problem->reason);
    }
    ShowGameBox(text);
    StopDownload();
    window_.PostQuit(1);
    // The program is ending: a size check over part of the list would only
    // report on files that will never be fetched.
    return false;
}

void CTLXDownloaderDlg::StartSizeCheck() {
    for (const std::u16string& url : fileUrls_) {
        if (!service_.AddSizeCheckUrl(plat::WideToAnsi(url))) {
            ShowProgramBox(u"檔案大小確認失敗");
            window_.PostQuit(1);
            return;
        }
    }
    service_.StartSizeCheck();
}

void CTLXDownloaderDlg::OnSizeKnown() {
    const std::int64_t total = service_.SizeCheckTotal();
    SetRequiredSize(total);
    SetLabel(kLabelTotal, FormatSize(ByteCountAsDouble(total)));
    UpdateFileLabel();
    SetLabel(kLabelRemaining, u"00:00:00");
    SetLabel(kLabelElapsed, u"00:00:00");
    SetLabel(kLabelReceived, FormatSize(0));
    SetLabel(kLabelSpeed, FormatSpeed(0));
    // The default stands unless the user has picked a folder, and a running
    // job keeps the folder its files were given.
    if (!folderChosen_ && !job_) SetDownloadFolder(StoredOrDefaultDownloadFolder());
    window_.CenterWindow();
    window_.PostToWindow(kMessageRefreshLabels, 0, 0);
}

void CTLXDownloaderDlg::UpdateFileLabel() {
    if (fileIndex_ < 0 || static_cast<std::size_t>(fileIndex_) >= fileUrls_.size()) return;
    const std::u16string name = FileNameOfUrl(fileUrls_[static_cast<std::size_t>(fileIndex_)]);
    const std::u16string text = name + u" [" + plat::AnsiToWide(std::to_string(fileNumber_)) +
                                u"/" + plat::AnsiToWide(std::to_string(fileUrls_.size())) + u"]";
    SetLabel(kLabelFile, text);
}
