// MainFrame: the program's main window. It lays out the controls of the
// fixed 748 x 437 client area, turns the user's clicks and keys into calls
// of the controller (CTLXDownloaderDlg) and carries out the controller's
// window operations (IWindowSystem). The download service's events and the
// controller's own posts reach the controller through one queue
// (WindowMessageBridge) on the user-interface thread.
//
// The window ends when the controller ends it (EndDialog, PostQuit) or the
// process is asked to stop; the controller's OnDestroy runs first, while
// every control still exists. An end asked for while a modal box or dialog
// is open waits until it has closed.
#pragma once

#include <wx/frame.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "launcher/download_service_client.h"
#include "launcher/gui/banner_fetch.h"
#include "launcher/gui/event_bridge.h"
#include "launcher/gui/layout.h"
#include "launcher/tlx_downloader_dlg.h"
#include "launcher/window_system.h"
#include "platform/instance_channel.h"

class CButtonST;
class CGraphCtrl;
class COXToolTipCtrl;
class CProgressST;
class CTransparentStatic2;
class wxGenericAnimationCtrl;
class wxNotificationMessage;

namespace gui {

class SkinPanel;

class MainFrame : public wxFrame, public IWindowSystem {
public:
    // `onEnd` learns the exit status once the window has ended; it runs
    // once, on the user-interface thread.
    MainFrame(std::u16string programName, std::u16string commandLineUrl,
              std::function<void(int exitCode)> onEnd);
    ~MainFrame() override;

    // Runs the controller's initialisation; call once, after Show.
    void Start();
    // Listens for later starts of the program, which ask this window
    // forward; only for the holder of `instanceName`. False without it.
    bool ListenForRaiseRequests(const std::string& instanceName);
    // Ends the window as the controller would, with `exitCode`.
    void RequestEnd(int exitCode);
    // Ends the window without waiting for an open modal box or dialog: with
    // one open, the job is stopped, the service finalised and the process
    // ends here with `exitCode`. For a stop request from outside.
    void EndAtOnce(int exitCode);
    // Brings the window forward, restoring it when minimised.
    void BringForward();

    // IWindowSystem.
    MessageBoxAnswer ShowMessageBox(const std::u16string& text, const std::u16string& caption,
                                    MessageBoxButtons buttons, MessageBoxIcon icon) override;
    void SetControlText(int controlId, const std::u16string& text) override;
    void EnableControl(int controlId, bool enabled) override;
    void MoveControl(int controlId, const ControlRect& rect) override;
    void RedrawControl(int controlId) override;
    void SetBarPosition(int controlId, int percent) override;
    void PushGraphSample(int sample) override;
    void SetCheck(int controlId, bool ticked) override;
    void SetStartStopFace(StartStopFace face) override;
    void CenterWindow() override;
    void NavigateBanner(const std::u16string& url) override;
    void SetWindowTitle(const std::u16string& title) override;
    void NotifyPlayer(const std::u16string& title, const std::u16string& text) override;
    void PostToWindow(std::uint32_t message, plat::WParam wParam, plat::LParam lParam) override;
    void PostQuit(int exitCode) override;
    void EndDialog() override;
    std::optional<std::u16string> BrowseForFolder(const FolderBrowseRequest& request) override;
    void RunResumePrompt(CResumeDlg& prompt) override;
    bool StartProgram(const std::u16string& path, const std::u16string& verb,
                      int idleWaitMs) override;
    bool FileExists(const std::u16string& path) override;

private:
    void BuildControls();
    void BindEvents();
    void OnWindowMessage(wxThreadEvent& event);
    void OnButton(wxCommandEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnPanelMouse(wxMouseEvent& event);
    void OnBannerArrived(wxThreadEvent& event);
    void SetButtonBitmaps(CButtonST* button, const ButtonBitmaps& bitmaps);
    // Stops the banner's fetch and the controller, once.
    void ShutDown();
    // Runs a modal box or dialog; an end asked for meanwhile follows it.
    template <class Modal>
    auto RunModal(Modal modal);
    void Finish();
    wxWindow* ModalParent();
    void UpdateStatusColour();

    WindowMessageBridge bridge_;
    CDownloadServiceClient service_;
    CTLXDownloaderDlg controller_;
    plat::RaiseRequestServer raiseServer_;
    // Fetches the banner with the service's HTTP stack; stopped before the
    // controller finalises the service.
    CBannerFetch banner_;

    SkinPanel* panel_ = nullptr;
    std::map<int, CTransparentStatic2*> labels_;
    std::map<int, CProgressST*> bars_;
    std::map<int, CButtonST*> buttons_;
    CGraphCtrl* graph_ = nullptr;
    CButtonST* consent_ = nullptr;
    COXToolTipCtrl* tooltip_ = nullptr;
    wxGenericAnimationCtrl* bannerView_ = nullptr;
    std::unique_ptr<wxNotificationMessage> notification_;

    std::function<void(int)> onEnd_;
    int modalDepth_ = 0;
    bool endRequested_ = false;
    bool finished_ = false;
    int exitCode_ = 0;
    // Where the window was grabbed when it is dragged by its top strip.
    std::optional<wxPoint> dragOffset_;
};

}  // namespace gui
