#include "launcher/gui/main_frame.h"

#include <unistd.h>
#include <wx/notifmsg.h>

#include "controls/button_st.h"
#include "controls/graph_ctrl.h"
#include "controls/progress_st.h"
#include "controls/transparent_static2.h"
#include "launcher/application_start.h"
#include "launcher/gui/dialogs.h"
#include "launcher/gui/layout.h"
#include "launcher/gui/skin.h"
#include "launcher/gui/wx_support.h"
#include "platform/files.h"
#include "platform/shell_execute.h"
#include "platform/text.h"

namespace gui {
namespace {

long FrameStyle() {
    // A caption with the system menu and a minimise box; fixed size.
    return wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX;
}

}  // namespace

MainFrame::MainFrame(std::u16string programName, std::u16string commandLineUrl,
                     std::function<void(int)> onEnd)
    : wxFrame(nullptr, wxID_ANY, ToWx(kMainWindowTitle), wxDefaultPosition, wxDefaultSize,
              FrameStyle()),
      bridge_(this),
      service_(bridge_.Window()),
      controller_(*this, service_, std::move(programName), std::move(commandLineUrl)),
      banner_(this),
      onEnd_(std::move(onEnd)) {
    SetIcons(WindowIcons());
    const wxSize client(kClientWidth, kClientHeight);
    SetClientSize(client);
    SetMinClientSize(client);
    SetMaxClientSize(client);
    BuildControls();
    BindEvents();
    Centre();
}

MainFrame::~MainFrame() {
    // A window torn down without Finish (the toolkit ending first) still
    // stops the job and the service while its controls exist.
    if (!finished_) {
        finished_ = true;
        ShutDown();
    }
}

void MainFrame::ShutDown() {
    raiseServer_.Stop();
    // The banner's session belongs to the service's network and goes first.
    banner_.Stop();
    controller_.OnDestroy();
    bridge_.Detach();
}

void MainFrame::BindEvents() {
    Bind(EVT_WINDOW_MESSAGE, &MainFrame::OnWindowMessage, this);
    Bind(wxEVT_BUTTON, &MainFrame::OnButton, this);
    Bind(wxEVT_CHAR_HOOK, &MainFrame::OnCharHook, this);
    Bind(wxEVT_CLOSE_WINDOW, &MainFrame::OnClose, this);
    Bind(EVT_BANNER_ARRIVED, &MainFrame::OnBannerArrived, this);
    panel_->Bind(wxEVT_LEFT_DOWN, &MainFrame::OnPanelMouse, this);
    panel_->Bind(wxEVT_LEFT_UP, &MainFrame::OnPanelMouse, this);
    panel_->Bind(wxEVT_MOTION, &MainFrame::OnPanelMouse, this);
    panel_->Bind(wxEVT_MOUSE_CAPTURE_LOST,
                 [this](wxMouseCaptureLostEvent&) { dragOffset_.reset(); });
}

void MainFrame::Start() {
    controller_.OnInitDialog();
}

bool MainFrame::ListenForRaiseRequests(const std::string& instanceName) {
    // The request arrives on the server's thread; the window is only
    // touched from the user-interface thread.
    return raiseServer_.Start(instanceName, [this] { CallAfter(&MainFrame::BringForward); });
}

void MainFrame::BringForward() {
    if (finished_) return;
    if (IsIconized()) Iconize(false);
    Show();
    Raise();
}

void MainFrame::RequestEnd(int exitCode) {
    if (finished_) return;
    if (!endRequested_) {
        endRequested_ = true;
        exitCode_ = exitCode;
    }
    // Never from inside the handler that asked: the controller is still
    // on the stack, and maybe a modal loop too (RunModal finishes then).
    if (modalDepth_ == 0) CallAfter(&MainFrame::Finish);
}

void MainFrame::EndAtOnce(int exitCode) {
    if (finished_) return;
    if (modalDepth_ == 0) {
        RequestEnd(exitCode);
        return;
    }
    // The modal loop cannot be unwound from here; the process ends instead,
    // once the service has let go of the files.
    finished_ = true;
    ShutDown();
    _exit(exitCode);
}

void MainFrame::Finish() {
    if (finished_) return;
    finished_ = true;
    ShutDown();
    if (onEnd_) onEnd_(exitCode_);
    Destroy();
}

template <class Modal>
auto MainFrame::RunModal(Modal modal) {
    struct Depth {
        MainFrame* frame;
        explicit Depth(MainFrame* f) : frame(f) { ++frame->modalDepth_; }
        ~Depth() {
            if (--frame->modalDepth_ == 0 && frame->endRequested_)
                frame->CallAfter(&MainFrame::Finish);
        }
    } depth(this);
    return modal();
}

wxWindow* MainFrame::ModalParent() {
    return IsShown() ? this : nullptr;
}

void MainFrame::OnWindowMessage(wxThreadEvent& event) {
    if (finished_) return;
    const plat::Msg message = WindowMessageBridge::MessageOf(event);
    controller_.HandleMessage(message.message, message.wParam, message.lParam);
}

void MainFrame::OnButton(wxCommandEvent& event) {
    if (finished_) return;
    switch (event.GetId()) {
        case kStartStopButton:
            controller_.OnStartStopClicked();
            break;
        case kRunButton:
            controller_.OnRunClicked();
            break;
        case kCloseButton:
            controller_.OnCloseClicked();
            break;
        case kFolderButton:
            controller_.OnFolderClicked();
            break;
        case kConsentCheckBox:
            // The box has already changed its state.
            controller_.OnConsentClicked(consent_->GetCheck() != 0);
            break;
        default:
            event.Skip();
    }
}

void MainFrame::OnCharHook(wxKeyEvent& event) {
    const int key = event.GetKeyCode();
    if (key == WXK_ESCAPE) {
        if (!finished_) controller_.OnEscapeKey();
        return;
    }
    const bool enter = key == WXK_RETURN || key == WXK_NUMPAD_ENTER;
    // Enter presses the focused button, else the default one (Start/Stop).
    if (enter && !dynamic_cast<CButtonST*>(FindFocus())) {
        buttons_[kStartStopButton]->Click();
        return;
    }
    event.Skip();
}

void MainFrame::OnClose(wxCloseEvent& event) {
    if (!event.CanVeto()) {
        Finish();
        return;
    }
    // The controller decides, and ends the window itself when it agrees.
    event.Veto();
    if (!finished_ && modalDepth_ == 0) controller_.OnSystemClose();
}

void MainFrame::OnPanelMouse(wxMouseEvent& event) {
    // The top strip moves the window, as a caption would.
    if (event.LeftDown() && event.GetY() < kDragStripHeight) {
        dragOffset_ = panel_->ClientToScreen(event.GetPosition()) - GetPosition();
        panel_->CaptureMouse();
    } else if (event.Dragging() && dragOffset_) {
        Move(panel_->ClientToScreen(event.GetPosition()) - *dragOffset_);
    } else if (event.LeftUp() && dragOffset_) {
        dragOffset_.reset();
        if (panel_->HasCapture()) panel_->ReleaseMouse();
    }
    event.Skip();
}

void MainFrame::UpdateStatusColour() {
    labels_[kSpeedStatusLabel]->SetTextColour(
        ToWx(controller_.Finished() ? colour::kFinishedText : colour::kLabelText));
}

// IWindowSystem.

MessageBoxAnswer MainFrame::ShowMessageBox(const std::u16string& text,
                                           const std::u16string& caption, MessageBoxButtons buttons,
                                           MessageBoxIcon icon) {
    return RunModal(
        [&] { return gui::ShowMessageBox(ModalParent(), text, caption, buttons, icon); });
}

void MainFrame::SetControlText(int controlId, const std::u16string& text) {
    const auto label = labels_.find(controlId);
    if (label == labels_.end()) return;
    label->second->SetLabel(ToWx(text));
    if (controlId == kSpeedStatusLabel) UpdateStatusColour();
}

void MainFrame::EnableControl(int controlId, bool enabled) {
    const auto button = buttons_.find(controlId);
    if (button != buttons_.end()) button->second->Enable(enabled);
}

void MainFrame::MoveControl(int controlId, const ControlRect& rect) {
    if (wxWindow* control = panel_->FindWindow(controlId))
        control->SetSize(rect.x, rect.y, rect.width, rect.height);
}

void MainFrame::RedrawControl(int controlId) {
    if (controlId == kSpeedStatusLabel) UpdateStatusColour();
    if (wxWindow* control = panel_->FindWindow(controlId)) {
        control->Refresh();
        control->Update();
    }
}

void MainFrame::SetBarPosition(int controlId, int percent) {
    const auto bar = bars_.find(controlId);
    if (bar != bars_.end()) bar->second->SetPos(percent);
}

void MainFrame::PushGraphSample(int sample) {
    graph_->PushSample(sample);
}

void MainFrame::SetWindowTitle(const std::u16string& title) {
    if (GetTitle() != ToWx(title)) SetTitle(ToWx(title));
}

void MainFrame::NotifyPlayer(const std::u16string& title, const std::u16string& text) {
    // The window the player looks at says it already.
    if (IsActive() && !IsIconized()) return;
    // Kept until the next one: the desktop's notification service may still
    // ask it about the notification (its click, its end).
    notification_ = std::make_unique<wxNotificationMessage>(ToWx(title), ToWx(text), this);
    (void)notification_->Show(wxNotificationMessage::Timeout_Auto);
}

void MainFrame::SetCheck(int controlId, bool ticked) {
    if (controlId == kConsentCheckBox) consent_->SetCheck(ticked ? 1 : 0);
}

void MainFrame::SetStartStopFace(StartStopFace face) {
    SetButtonBitmaps(buttons_[kStartStopButton],
                     face == StartStopFace::kStop ? kStopBitmaps : kStartBitmaps);
}

void MainFrame::CenterWindow() {
    Centre();
}

void MainFrame::NavigateBanner(const std::u16string& url) {
    (void)banner_.Fetch(plat::WideToAnsi(url));  // without a service, the panel stays
}

void MainFrame::PostToWindow(std::uint32_t message, plat::WParam wParam, plat::LParam lParam) {
    bridge_.Post(plat::Msg{bridge_.Window(), message, wParam, lParam});
}

void MainFrame::PostQuit(int exitCode) {
    RequestEnd(exitCode);
}

void MainFrame::EndDialog() {
    RequestEnd(0);
}

std::optional<std::u16string> MainFrame::BrowseForFolder(const FolderBrowseRequest& request) {
    return RunModal([&] {
        FolderDialog dialog(ModalParent(), request);
        return dialog.Run();
    });
}

void MainFrame::RunResumePrompt(CResumeDlg& prompt) {
    RunModal([&] {
        ResumeDialog dialog(ModalParent(), prompt);
        dialog.Run();
    });
}

bool MainFrame::StartProgram(const std::u16string& path, const std::u16string& verb,
                             int idleWaitMs) {
    const plat::ShellStartResult result =
        plat::ShellExecute(plat::WideToAnsi(path), plat::WideToAnsi(verb), idleWaitMs);
    if (result == plat::ShellStartResult::kStarted) return true;
    // The controller ends the program without a word when the start fails;
    // the user should know why nothing was installed.
    ShowMessageBox(u"無法執行檔案(" + path + u")。", controller_.ProgramName(),
                   MessageBoxButtons::kOk, MessageBoxIcon::kExclamation);
    return false;
}

bool MainFrame::FileExists(const std::u16string& path) {
    return plat::PathExists(plat::WideToAnsi(path));
}

}  // namespace gui
