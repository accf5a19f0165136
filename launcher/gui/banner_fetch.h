// CBannerFetch: fetches the banner picture through the service's HTTP
// stack, with a document session of the window's own (the job manager's
// document session carries the file list), and hands the bytes to the
// user-interface thread.
//
// Ownership: the window owns this object, and this object owns its
// session. The session exists only between Fetch and Stop, always under
// the service lock, and only while the service runs: call Fetch after
// InitializeService succeeded and Stop before FinalizeService.
//
// Threads: Fetch and Stop on the user-interface thread. The session's
// reports arrive on the service worker thread with the lock held; the
// bytes are copied there and queued to `target` as EVT_BANNER_ARRIVED
// (wxQueueEvent), so `onArrived` runs on the user-interface thread. A
// failed fetch reports nothing: the window keeps its own panel.
#pragma once

#include <wx/event.h>

#include <memory>
#include <string>

#include "transfers/data_download_session.h"

namespace gui {

// Carries the banner's bytes (GetString()).
wxDECLARE_EVENT(EVT_BANNER_ARRIVED, wxThreadEvent);

class CBannerFetch final : private IDataDownloadSessionEventListener {
public:
    // `target` receives EVT_BANNER_ARRIVED and must outlive every event
    // queued before Stop returns (the window's own handler).
    explicit CBannerFetch(wxEvtHandler* target) : target_(target) {}
    ~CBannerFetch();
    CBannerFetch(const CBannerFetch&) = delete;
    CBannerFetch& operator=(const CBannerFetch&) = delete;

    // Starts fetching `url` (ANSI); an earlier fetch is dropped first.
    // False without a running service.
    bool Fetch(const std::string& url);
    // Drops the session; nothing is queued after this returns.
    void Stop();

    // The bytes an EVT_BANNER_ARRIVED carries.
    static std::string BytesOf(const wxThreadEvent& event);

private:
    void OnDocumentComplete() override;
    void OnDocumentFailed(int reason) override;
    void OnDocumentTick() override {}

    wxEvtHandler* target_;
    std::unique_ptr<CDataDownloadSession> session_;
};

}  // namespace gui
