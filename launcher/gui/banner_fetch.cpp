#include "launcher/gui/banner_fetch.h"

#include "service/download_service.h"
#include "service/job_manager.h"
#include "transport/cp_mutex.h"

namespace gui {

wxDEFINE_EVENT(EVT_BANNER_ARRIVED, wxThreadEvent);

CBannerFetch::~CBannerFetch() {
    Stop();
}

bool CBannerFetch::Fetch(const std::string& url) {
    CJobManager* manager = GetServiceJobManager();
    if (!manager || url.empty()) return false;
    cpLockGuard guard(manager->Lock());
    session_.reset();
    session_ = std::make_unique<CDataDownloadSession>(
        static_cast<IDataDownloadSessionEventListener*>(this));
    session_->Fetch(url.c_str());
    return true;
}

void CBannerFetch::Stop() {
    if (!session_) return;
    CJobManager* manager = GetServiceJobManager();
    // Without a service there is no lock, and no worker that could call in.
    cpLockGuard guard(manager ? manager->Lock() : nullptr);
    session_.reset();
}

std::string CBannerFetch::BytesOf(const wxThreadEvent& event) {
    return event.GetPayload<std::string>();
}

void CBannerFetch::OnDocumentComplete() {
    // Worker thread, lock held: the session's buffer is only valid now.
    const char* data = session_ ? session_->DocumentData() : nullptr;
    const std::int64_t length = session_ ? session_->DocumentLength() : 0;
    if (!data || length <= 0) return;
    auto* event = new wxThreadEvent(EVT_BANNER_ARRIVED);
    event->SetPayload(std::string(data, static_cast<std::size_t>(length)));
    wxQueueEvent(target_, event);
}

void CBannerFetch::OnDocumentFailed(int) {
    // Nothing to show: the window's own panel stays where the banner goes.
}

}  // namespace gui
