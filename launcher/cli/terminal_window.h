// TerminalWindowSystem: the main window's operations for a terminal.
//
// Labels and bars are kept and shown through the StatusView; message boxes
// become printed lines ("[caption] text", the text exactly as the
// controller passes it). A Yes/No question is answered by the program's
// flags when they answer it, else asked on the terminal when there is one,
// else answered No (the answer that changes nothing). Posted messages go to
// the program's queue; a quit or the dialog's end is recorded for the loop.
// The folder browser answers with the folder the user gave on the command
// line; starting the installer goes through the platform's shell start.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "launcher/cli/cli_options.h"
#include "launcher/cli/message_queue.h"
#include "launcher/cli/status_view.h"
#include "launcher/window_system.h"
#include "platform/shell_execute.h"

class TerminalWindowSystem final : public IWindowSystem {
public:
    // `interactive`: questions may be asked on the terminal.
    TerminalWindowSystem(StatusView& view, CliMessageQueue& queue, bool interactive,
                         ResumeAnswer resume);

    // The next Yes/No question is answered with `answer`, and the printed
    // line names `because` (a flag) as the answer's source.
    void AnswerNextQuestion(MessageBoxAnswer answer, std::string because);
    // What BrowseForFolder answers (nothing: the browser is cancelled).
    void SetFolderChoice(std::optional<std::u16string> folder) {
        folderChoice_ = std::move(folder);
    }

    std::optional<int> QuitCode() const { return quitCode_; }
    bool DialogEnded() const { return dialogEnded_; }
    // The text of the last OK box since the last call, taken away.
    std::optional<std::u16string> TakeLastNotice();
    // The result of the last installer start, if there was one.
    std::optional<plat::ShellStartResult> LastStart() const { return lastStart_; }
    StatusSnapshot Snapshot() const;
    std::u16string Text(int controlId) const;

    MessageBoxAnswer ShowMessageBox(const std::u16string& text, const std::u16string& caption,
                                    MessageBoxButtons buttons, MessageBoxIcon icon) override;
    void SetControlText(int controlId, const std::u16string& text) override;
    void EnableControl(int, bool) override {}
    void MoveControl(int, const ControlRect&) override {}
    void RedrawControl(int) override {}
    void SetBarPosition(int controlId, int percent) override { bars_[controlId] = percent; }
    void PushGraphSample(int) override {}
    void SetCheck(int, bool) override {}
    void SetStartStopFace(StartStopFace) override {}
    void CenterWindow() override {}
    void NavigateBanner(const std::u16string&) override {}
    // A terminal has no title of the program's and tells its own ends.
    void SetWindowTitle(const std::u16string&) override {}
    void NotifyPlayer(const std::u16string&, const std::u16string&) override {}
    void PostToWindow(std::uint32_t message, plat::WParam wParam, plat::LParam lParam) override;
    void PostQuit(int exitCode) override;
    void EndDialog() override { dialogEnded_ = true; }
    std::optional<std::u16string> BrowseForFolder(const FolderBrowseRequest& request) override;
    void RunResumePrompt(CResumeDlg& prompt) override;
    bool StartProgram(const std::u16string& path, const std::u16string& verb,
                      int idleWaitMs) override;
    bool FileExists(const std::u16string& path) override;

private:
    // Prints `question` and reads y or n from the terminal; nothing when
    // the input ended or a stop was requested.
    std::optional<bool> AskTerminal(const std::string& question);

    StatusView& view_;
    CliMessageQueue& queue_;
    const bool interactive_;
    const ResumeAnswer resume_;
    std::optional<MessageBoxAnswer> presetAnswer_;
    std::string presetReason_;
    std::optional<std::u16string> folderChoice_;
    std::optional<int> quitCode_;
    bool dialogEnded_ = false;
    std::optional<std::u16string> lastNotice_;
    std::optional<plat::ShellStartResult> lastStart_;
    std::map<int, std::u16string> texts_;
    std::map<int, int> bars_;
};
