// Carries the messages posted to the main window into the wxWidgets event
// loop. The download service posts its events to a platform window (a
// forwarding window) from whichever thread it runs on; the bridge turns
// each one into an EVT_WINDOW_MESSAGE queued on the target, so the
// controller sees them on the user-interface thread, in posting order.
// The controller's own posts go through the same queue, keeping that order.
#pragma once

#include <wx/event.h>

#include <mutex>

#include "platform/window.h"

namespace gui {

wxDECLARE_EVENT(EVT_WINDOW_MESSAGE, wxThreadEvent);

class WindowMessageBridge {
public:
    // Creates the forwarding window; Window() is null when that failed.
    explicit WindowMessageBridge(wxEvtHandler* target);
    // Detaches and destroys the forwarding window.
    ~WindowMessageBridge();
    WindowMessageBridge(const WindowMessageBridge&) = delete;
    WindowMessageBridge& operator=(const WindowMessageBridge&) = delete;

    // The window to hand to the service as its notification window.
    plat::Hwnd Window() const { return window_; }

    // Queues one message on the target. Any thread; dropped once detached.
    void Post(const plat::Msg& message);
    // No message reaches the target after this returns (a post running on
    // another thread has finished queueing first).
    void Detach();

    // The message an EVT_WINDOW_MESSAGE carries.
    static plat::Msg MessageOf(const wxThreadEvent& event);

private:
    std::mutex mutex_;
    wxEvtHandler* target_;
    plat::Hwnd window_ = nullptr;
};

}  // namespace gui
