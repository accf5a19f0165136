// IWindowSystem: the window-system operations the main window controller
// (tlx_downloader_dlg.h) needs, and nothing more. A front end (a toolkit
// window, a terminal program, a test recorder) implements them; the
// controller never knows which one runs it. Every operation is called on
// the user-interface thread, the one that calls the controller.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/window.h"

class CResumeDlg;

enum class MessageBoxButtons { kOk, kYesNo };
enum class MessageBoxIcon { kNone, kExclamation };
enum class MessageBoxAnswer { kOk, kYes, kNo };

// The two faces of the Start / Stop button.
enum class StartStopFace { kStart, kStop };

struct ControlRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct FolderBrowseRequest {
    // The instruction text shown above the tree when it opens.
    std::u16string title;
    // Selected when the browser opens, if it exists.
    std::u16string initialFolder;
    // The instruction text for a newly selected folder; call on every
    // change of the selection.
    std::function<std::u16string(const std::u16string& selection)> selectionText;
};

class IWindowSystem {
public:
    virtual ~IWindowSystem() = default;

    // A modal message box over the main window. Service events that arrive
    // while it is open are still handed to the controller (nested loop).
    virtual MessageBoxAnswer ShowMessageBox(const std::u16string& text,
                                            const std::u16string& caption,
                                            MessageBoxButtons buttons, MessageBoxIcon icon) = 0;

    virtual void SetControlText(int controlId, const std::u16string& text) = 0;
    virtual void EnableControl(int controlId, bool enabled) = 0;
    virtual void MoveControl(int controlId, const ControlRect& rect) = 0;
    // Invalidates the control and repaints it.
    virtual void RedrawControl(int controlId) = 0;
    // Position of a bar whose range is 0..100.
    virtual void SetBarPosition(int controlId, int percent) = 0;
    // Shifts one sample (0..100) into the speed graph and redraws it.
    virtual void PushGraphSample(int sample) = 0;
    virtual void SetCheck(int controlId, bool ticked) = 0;
    virtual void SetStartStopFace(StartStopFace face) = 0;
    virtual void CenterWindow() = 0;
    virtual void NavigateBanner(const std::u16string& url) = 0;
    // The main window's title (the progress shows there too).
    virtual void SetWindowTitle(const std::u16string& title) = 0;
    // Tells the player something happened (the download ended) when the
    // window is not where the player looks: a desktop notification.
    virtual void NotifyPlayer(const std::u16string& title, const std::u16string& text) = 0;

    // Queues a message to the main window; it reaches the controller's
    // HandleMessage later, from the window's own loop, never from here.
    virtual void PostToWindow(std::uint32_t message, plat::WParam wParam, plat::LParam lParam) = 0;
    // Ends the main window's loop and with it the program, with that status.
    virtual void PostQuit(int exitCode) = 0;
    // Ends the main window (the dialog's end); its destruction follows.
    virtual void EndDialog() = 0;

    // The folder browser; the chosen folder's path, or nothing on cancel.
    virtual std::optional<std::u16string> BrowseForFolder(const FolderBrowseRequest& request) = 0;
    // Shows the resume question modally and returns when it has ended; the
    // prompt then holds the answers.
    virtual void RunResumePrompt(CResumeDlg& prompt) = 0;

    // Starts the file with the shell's verb ("open" or "runas") and waits
    // at most `idleWaitMs` for it to settle; true when it was started.
    virtual bool StartProgram(const std::u16string& path, const std::u16string& verb,
                              int idleWaitMs) = 0;
    virtual bool FileExists(const std::u16string& path) = 0;
};
