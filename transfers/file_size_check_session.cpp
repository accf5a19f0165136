#include "transfers/file_size_check_session.h"

#include <algorithm>

#include "http/code_page.h"
#include "platform/file_handle.h"
#include "service/base/status_codes.h"
#include "service/base/vz_ptr_list.h"
#include "transfers/connection_recipe.h"
#include "transport/net_interfaces.h"

CPlatformFileSizeCheckSession::CPlatformFileSizeCheckSession(
    IPlatformFileSizeCheckSessionEventListener* listener, JobFileEntry* entry)
    : entry_(entry), listener_(listener) {}

CPlatformFileSizeCheckSession::~CPlatformFileSizeCheckSession() {
    DropHttpConnection(connection_);
}

void CPlatformFileSizeCheckSession::SetUrls(const std::string& urlField) {
    vzCTokenList tokens;
    tokens.Split(urlField, '|');
    alternatives_.clear();
    for (int i = 0; i < tokens.Count(); ++i) alternatives_.push_back(*tokens.At(i));
    alternative_ = 0;
    attempts_ = 0;
    currentUrl_ = alternatives_.empty() ? std::string() : alternatives_.front();
}

void CPlatformFileSizeCheckSession::Probe() {
    if (attempts_ >= kAttemptsPerUrl) {
        ++alternative_;
        attempts_ = 0;
        if (alternative_ >= alternatives_.size()) {
            Fail(kResultFailed);
            return;
        }
        currentUrl_ = alternatives_[alternative_];
        redirect_.clear();
    }
    if (alternatives_.empty()) {
        Fail(kResultFailed);
        return;
    }
    if (connection_) return;
    HttpConnectionSettings settings;
    settings.actionType = 1;
    settings.connectTimeoutSeconds = settings.idleTimeoutSeconds = kTimeoutSeconds;
    if (!OpenHttpConnection(connection_, settings, this,
                            redirect_.empty() ? currentUrl_ : redirect_)) {
        Fail(kResultFailed);
        return;
    }
    ++attempts_;
}

void CPlatformFileSizeCheckSession::Fail(int code) {
    if (listener_) listener_->OnProbeFailed(this, code, entry_->url);
}

void CPlatformFileSizeCheckSession::OnHeaderReceived(std::uint32_t) {
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    int status = 0;
    std::int64_t length = 0;
    std::string location;
    // The getters leave 0 when the head has no such value.
    (void)layer->GetStatusCode(&status);
    (void)layer->GetContentLength(&length);
    bool hasLocation = vzSucceeded(layer->GetHeader("Location:", &location));
    DropHttpConnection(connection_);

    if (status == 200) {
        // A free-space query that fails counts as no space at all.
        std::int64_t freeBytes = std::max<std::int64_t>(0, plat::FreeDiskBytes(entry_->folder));
        if (length <= 0) {
            Fail(kResultFailed);
        } else if (freeBytes > length) {
            entry_->remoteSize = length;
            if (listener_) listener_->OnProbeDone(this);  // may delete this session
        } else if (freeBytes < length) {
            Fail(kResultBadUrl);  // 513: not enough disk space
        } else {
            Fail(kResultFailed);
        }
        return;
    }
    if (status == 302 || status == 303) {
        redirect_ = hasLocation ? FromUtf8(location) : std::string();
        Probe();
        return;
    }
    Fail(kResultFailed);
}

std::int32_t CPlatformFileSizeCheckSession::OnBodyData(std::uint32_t, const void*,
                                                       std::int32_t length) {
    DropHttpConnection(connection_);
    return length;
}

void CPlatformFileSizeCheckSession::OnClosed(std::uint32_t) {
    DropHttpConnection(connection_);
    Probe();
}

void CPlatformFileSizeCheckSession::OnConnectFailed(std::uint32_t) {
    if (connection_) (void)connection_.As<vzIQoSContext>()->Close();  // a close always completes
}

void CPlatformFileSizeCheckSession::OnIdleTimeout(std::uint32_t) {
    if (connection_) (void)connection_.As<vzIQoSContext>()->Close();  // a close always completes
}
