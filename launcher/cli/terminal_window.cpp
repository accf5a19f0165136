#include "launcher/cli/terminal_window.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>

#include "launcher/control_ids.h"
#include "launcher/resume_prompt.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

std::string Utf8(const std::u16string& text) {
    return plat::WideToAnsi(text);
}

std::string BoxLine(const std::u16string& caption, const std::u16string& text) {
    return "[" + Utf8(caption) + "] " + Utf8(text);
}

std::string Lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

TerminalWindowSystem::TerminalWindowSystem(StatusView& view, CliMessageQueue& queue,
                                           bool interactive, ResumeAnswer resume)
    : view_(view), queue_(queue), interactive_(interactive), resume_(resume) {}

void TerminalWindowSystem::AnswerNextQuestion(MessageBoxAnswer answer, std::string because) {
    presetAnswer_ = answer;
    presetReason_ = std::move(because);
}

std::optional<std::u16string> TerminalWindowSystem::TakeLastNotice() {
    std::optional<std::u16string> taken = std::move(lastNotice_);
    lastNotice_.reset();
    return taken;
}

std::u16string TerminalWindowSystem::Text(int controlId) const {
    const auto found = texts_.find(controlId);
    return found == texts_.end() ? std::u16string() : found->second;
}

StatusSnapshot TerminalWindowSystem::Snapshot() const {
    StatusSnapshot status;
    status.file = Utf8(Text(kFileLabel));
    status.received = Utf8(Text(kReceivedLabel));
    status.total = Utf8(Text(kTotalLabel));
    status.speed = Utf8(Text(kSpeedStatusLabel));
    status.elapsed = Utf8(Text(kElapsedLabel));
    status.remaining = Utf8(Text(kRemainingLabel));
    const auto bar = [&](int id) {
        const auto found = bars_.find(id);
        return found == bars_.end() ? 0 : found->second;
    };
    status.filePercent = bar(kCurrentFileBar);
    status.totalPercent = bar(kOverallBar);
    return status;
}

MessageBoxAnswer TerminalWindowSystem::ShowMessageBox(const std::u16string& text,
                                                      const std::u16string& caption,
                                                      MessageBoxButtons buttons, MessageBoxIcon) {
    const std::string line = BoxLine(caption, text);
    if (buttons == MessageBoxButtons::kOk) {
        view_.PrintLine(line);
        lastNotice_ = text;
        return MessageBoxAnswer::kOk;
    }
    if (presetAnswer_) {
        const MessageBoxAnswer answer = *presetAnswer_;
        presetAnswer_.reset();
        view_.PrintLine(line + "\n  -> " + (answer == MessageBoxAnswer::kYes ? "yes" : "no") +
                        " (" + presetReason_ + ")");
        return answer;
    }
    if (interactive_) {
        const std::optional<bool> yes = AskTerminal(line + " [y/n] ");
        return yes.value_or(false) ? MessageBoxAnswer::kYes : MessageBoxAnswer::kNo;
    }
    view_.PrintLine(line + "\n  -> no (no terminal to ask)");
    return MessageBoxAnswer::kNo;
}

void TerminalWindowSystem::SetControlText(int controlId, const std::u16string& text) {
    texts_[controlId] = text;
}

void TerminalWindowSystem::PostToWindow(std::uint32_t message, plat::WParam wParam,
                                        plat::LParam lParam) {
    queue_.Post(message, wParam, lParam);
}

void TerminalWindowSystem::PostQuit(int exitCode) {
    // The first quit is the one that ends the loop; later ones come from
    // the same failure told twice.
    if (!quitCode_) quitCode_ = exitCode;
}

std::optional<std::u16string> TerminalWindowSystem::BrowseForFolder(
    const FolderBrowseRequest& request) {
    if (!folderChoice_) return std::nullopt;
    std::string line = "folder: " + Utf8(*folderChoice_);
    if (request.selectionText) line += "\n" + Trimmed(Utf8(request.selectionText(*folderChoice_)));
    view_.PrintLine(line);
    return folderChoice_;
}

void TerminalWindowSystem::RunResumePrompt(CResumeDlg& prompt) {
    const int applyToAll = prompt.InitialApplyToAllChecked() ? 1 : 0;
    const std::string line = "[" + Utf8(CResumeDlg::kCaption) + "] " +
                             Utf8(CResumeDlg::kFoundText) + "\n" + Utf8(CResumeDlg::kQuestionText);
    switch (resume_) {
        case ResumeAnswer::kContinue:
            view_.PrintLine(line + "\n  -> " + Utf8(CResumeDlg::kConfirmText) + " (--resume=yes)");
            prompt.OnConfirm(applyToAll);
            return;
        case ResumeAnswer::kStartOver:
            view_.PrintLine(line + "\n  -> " + Utf8(CResumeDlg::kCancelText) + " (--resume=no)");
            prompt.OnCancel(applyToAll);
            return;
        case ResumeAnswer::kAsk:
            break;
    }
    if (!interactive_) {
        // As when the dialog is closed: what is on disk is kept.
        view_.PrintLine(line + "\n  -> kept (no terminal to ask)");
        prompt.OnClose(applyToAll);
        return;
    }
    const std::optional<bool> yes = AskTerminal(line + " [y/n] ");
    if (!yes)
        prompt.OnClose(applyToAll);
    else if (*yes)
        prompt.OnConfirm(applyToAll);
    else
        prompt.OnCancel(applyToAll);
}

bool TerminalWindowSystem::StartProgram(const std::u16string& path, const std::u16string& verb,
                                        int idleWaitMs) {
    lastStart_ = plat::ShellExecute(Utf8(path), Utf8(verb), idleWaitMs);
    return *lastStart_ == plat::ShellStartResult::kStarted;
}

bool TerminalWindowSystem::FileExists(const std::u16string& path) {
    return plat::PathExists(Utf8(path));
}

std::optional<bool> TerminalWindowSystem::AskTerminal(const std::string& question) {
    view_.PrintPrompt(question);
    std::string answer;
    while (!queue_.StopRequested()) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        // Short waits, so that a stop request is seen while the user thinks.
        if (poll(&input, 1, 100) <= 0) continue;
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n <= 0) break;
        if (c != '\n') {
            answer.push_back(c);
            continue;
        }
        const std::string word = Lowered(Trimmed(answer));
        if (word == "y" || word == "yes") return true;
        if (word == "n" || word == "no") return false;
        answer.clear();
        view_.PrintPrompt("please answer y or n: ");
    }
    view_.PrintLine("");
    return std::nullopt;
}
