#include "launcher/gui/event_bridge.h"

namespace gui {

wxDEFINE_EVENT(EVT_WINDOW_MESSAGE, wxThreadEvent);

WindowMessageBridge::WindowMessageBridge(wxEvtHandler* target) : target_(target) {
    window_ = plat::CreateForwardingWindow([this](const plat::Msg& message) { Post(message); });
}

WindowMessageBridge::~WindowMessageBridge() {
    Detach();
    if (window_) plat::DestroyWindow(window_);
}

void WindowMessageBridge::Post(const plat::Msg& message) {
    std::lock_guard lock(mutex_);
    if (!target_) return;
    auto* event = new wxThreadEvent(EVT_WINDOW_MESSAGE);
    event->SetPayload(message);
    // wxQueueEvent is the toolkit's thread-safe way in: it takes ownership
    // and wakes the user-interface thread's loop.
    wxQueueEvent(target_, event);
}

void WindowMessageBridge::Detach() {
    std::lock_guard lock(mutex_);
    target_ = nullptr;
}

plat::Msg WindowMessageBridge::MessageOf(const wxThreadEvent& event) {
    return event.GetPayload<plat::Msg>();
}

}  // namespace gui
