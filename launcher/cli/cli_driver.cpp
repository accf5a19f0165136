#include "launcher/cli/cli_driver.h"

#include <csignal>

#include "launcher/control_ids.h"
#include "launcher/download_folder.h"
#include "launcher/file_list.h"
#include "launcher/required_size.h"
#include "launcher/server_addresses.h"
#include "platform/text.h"
#include "service/base/job_records.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::seconds(1);

std::string Utf8(const std::u16string& text) {
    return plat::WideToAnsi(text);
}

// A box text as part of a one-line reason.
std::string FileCount(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " file" : " files");
}

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        default:
            return "a signal";
    }
}

const char* StartFailure(plat::ShellStartResult result) {
    switch (result) {
        case plat::ShellStartResult::kStarted:
            return "it started";
        case plat::ShellStartResult::kBadVerb:
            return "the start verb was refused";
        case plat::ShellStartResult::kNotFound:
            return "the file is not there";
        case plat::ShellStartResult::kCannotStart:
            return "it could not be run";
        case plat::ShellStartResult::kFailedAtOnce:
            return "it ended at once with a failure";
    }
    return "it could not be run";
}

}  // namespace

CliDriver::CliDriver(const CliOptions& options, CTLXDownloaderDlg& dlg,
                     TerminalWindowSystem& window, ObservedServiceClient& service,
                     CliMessageQueue& queue, StatusView& view)
    : options_(options),
      dlg_(dlg),
      window_(window),
      service_(service),
      queue_(queue),
      view_(view) {}

CliOutcome CliDriver::Run() {
    Judge();
    auto nextRedraw = CliMessageQueue::Clock::now() + kRedrawInterval;
    while (!outcome_) {
        std::optional<CliQueuedMessage> message = queue_.Take(nextRedraw);
        if (queue_.StopRequested()) {
            const int signal = queue_.StopSignal();
            End(128 + signal, std::string("stopped by ") + SignalName(signal) +
                                  (dlg_.HasJob() ? "; the download was stopped" : ""));
            break;
        }
        if (message) {
            notice_.reset();
            dlg_.HandleMessage(message->message, message->wParam, message->lParam);
            AfterMessage(*message);
        }
        // Also between messages, so that a busy queue cannot hold the block back.
        const auto now = CliMessageQueue::Clock::now();
        if (now >= nextRedraw && !outcome_) {
            Redraw();
            nextRedraw = now + kRedrawInterval;
        }
    }
    return *outcome_;
}

void CliDriver::AfterMessage(const CliQueuedMessage& message) {
    if (message.message == kMessageServiceEvent) {
        switch (static_cast<int>(message.wParam)) {
            case kEventDocumentComplete:
                OnFileListTaken();
                break;
            case kEventLengthsKnown:
                OnSizesKnown();
                break;
            case kEventJobProgress:
                if (!view_.Terminal() && phase_ == Phase::kDownload && dlg_.HasJob())
                    view_.PrintProgressLine(window_.Snapshot());
                break;
            case kEventFileCompleted:
                OnFinishedFiles();
                break;
            default:
                break;
        }
    }
    Judge();
}

void CliDriver::OnFileListTaken() {
    // A list the controller refused has ended the run (its quit is judged).
    if (phase_ != Phase::kFileList || dlg_.FileUrls().empty() || window_.QuitCode()) return;
    phase_ = Phase::kSizeCheck;
    Say("file list: " + FileCount(dlg_.FileUrls().size()) + " from " + FileListUrl());
}

void CliDriver::OnSizesKnown() {
    if (phase_ != Phase::kSizeCheck || window_.QuitCode()) return;
    const std::int64_t total = RequiredSize();
    if (options_.checkOnly) {
        view_.PrintLine(std::to_string(total));
        End(0, "");
        return;
    }
    Say("total size: " + Utf8(dlg_.LabelText(kTotalLabel)) + " (" + std::to_string(total) +
        " bytes)");
    phase_ = Phase::kFolder;
    if (!ChooseFolder()) return;
    if (options_.normalSpeed) {
        window_.AnswerNextQuestion(MessageBoxAnswer::kYes, "--normal-speed");
        dlg_.OnConsentClicked(false);
    }
    StartDownload();
}

bool CliDriver::ChooseFolder() {
    if (options_.folder.empty()) {
        Say("folder: " + Utf8(dlg_.DownloadFolder()));
        return true;
    }
    const std::u16string folder = plat::AnsiToWide(options_.folder);
    window_.SetFolderChoice(folder);
    dlg_.OnFolderClicked();
    window_.SetFolderChoice(std::nullopt);
    notice_ = window_.TakeLastNotice();
    if (dlg_.DownloadFolder() == WithTrailingSeparator(folder)) return true;
    End(1, ExplainedBy("the folder cannot be used: " + options_.folder));
    return false;
}

void CliDriver::StartDownload() {
    phase_ = Phase::kDownload;
    dlg_.OnStartStopClicked();
    if (!dlg_.HasJob()) {
        notice_ = window_.TakeLastNotice();
        End(1, ExplainedBy("the download could not be started in " + Utf8(dlg_.DownloadFolder())));
        return;
    }
    // The block follows with the next redraw, once the labels the size
    // check filled in have been refreshed.
    Say(std::string("download started") + (dlg_.Consent() == u"1" ? " at normal speed" : ""));
}

void CliDriver::OnFinishedFiles() {
    for (const std::string& text : service_.TakeFinishedFiles())
        Say("done: " + Utf8(PathOfFileEventText(plat::AnsiToWide(text), dlg_.KnownFileUrls())));
}

void CliDriver::OnJobFinished() {
    if (view_.Terminal()) {
        view_.DrawBlock(window_.Snapshot());
        view_.ReleaseBlock();
    }
    Say("download finished: " + FileCount(dlg_.FileUrls().size()) + " in " +
        Utf8(dlg_.DownloadFolder()));
    if (options_.noInstall) {
        End(0, "");
        return;
    }
    phase_ = Phase::kInstaller;
    dlg_.OnRunClicked();
    Say(Utf8(dlg_.LabelText(kSpeedStatusLabel)));
}

void CliDriver::Judge() {
    if (outcome_) return;
    if (std::optional<std::u16string> notice = window_.TakeLastNotice()) notice_ = notice;
    if (std::optional<int> quit = window_.QuitCode()) {
        if (*quit == 0) {
            if (phase_ == Phase::kInstaller)
                Say("installer started: " + Utf8(dlg_.InstallerPath()));
            End(0, "");
            return;
        }
        switch (phase_) {
            case Phase::kFileList: {
                // The cause in English: the terminal speaks the log's language.
                std::string cause = dlg_.ListProblem();
                if (cause.empty()) cause = service_.DocumentFailure();
                End(*quit, ExplainedBy("no usable file list at " + FileListUrl() +
                                       (cause.empty() ? std::string() : ": " + cause)));
                return;
            }
            case Phase::kSizeCheck: {
                const std::string cause = service_.SizeCheckFailure();
                End(*quit, ExplainedBy("the size check of the listed files failed" +
                                       (cause.empty() ? std::string() : ": " + cause)));
                return;
            }
            case Phase::kInstaller: {
                std::string why = "the installer was not started";
                if (std::optional<plat::ShellStartResult> start = window_.LastStart())
                    why += std::string(": ") + StartFailure(*start);
                End(*quit, ExplainedBy(why));
                return;
            }
            default:
                End(*quit, ExplainedBy("the program ended"));
                return;
        }
    }
    if (window_.DialogEnded()) {
        End(dlg_.Finished() ? 0 : 1, ExplainedBy("the window was closed"));
        return;
    }
    if (std::optional<ObservedJobMessage> message = service_.TakeJobMessage()) {
        if (message->code == kReasonDiskFull) {
            End(1, ExplainedBy("the disk is full"));
            return;
        }
        if (message->code == kReasonPreparingEngine) Say("preparing the download engine");
        if (message->code == kReasonRetryWaiting) {
            std::int64_t seconds = 0;
            std::string why;
            if (ParseRetryText(message->text, &seconds, &why))
                Say("waiting: " + why + "; trying again in " + std::to_string(seconds) + " s");
        }
        if (message->code == kReasonRetrying) Say("trying again");
        if (message->code == kReasonMovedToDirect)
            Say("the download engine cannot serve the job; downloading directly");
        if (message->code == kReasonDownloadFailed) {
            End(1, ExplainedBy("a download failed" +
                               (message->text.empty() ? std::string() : ": " + message->text)));
            return;
        }
    }
    if (phase_ != Phase::kDownload) return;
    if (dlg_.Finished()) {
        OnJobFinished();
        // Run posts the installer's start; its quit is judged when it comes.
        return;
    }
    if (!dlg_.HasJob()) End(1, ExplainedBy("the download stopped"));
}

void CliDriver::End(int status, std::string reason) {
    if (outcome_) return;
    if (view_.Terminal()) view_.ReleaseBlock();
    outcome_ = CliOutcome{status, std::move(reason)};
}

void CliDriver::Redraw() {
    if (view_.Terminal() && phase_ == Phase::kDownload && dlg_.HasJob())
        view_.DrawBlock(window_.Snapshot());
}

void CliDriver::Say(const std::string& line) {
    if (!options_.checkOnly) view_.PrintLine(line);
}

std::string CliDriver::FileListUrl() const {
    return options_.fileListUrl.empty() ? Utf8(DefaultFileListUrl()) : options_.fileListUrl;
}

std::string CliDriver::ExplainedBy(std::string reason) const {
    if (notice_) reason += " (" + OneLine(Utf8(*notice_)) + ")";
    return reason;
}
