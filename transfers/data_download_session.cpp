#include "transfers/data_download_session.h"

#include <algorithm>
#include <cstring>

#include "http/code_page.h"
#include "service/base/service_log.h"
#include "transfers/connection_recipe.h"
#include "transport/cp_timer.h"
#include "transport/net_interfaces.h"

namespace {

constexpr int kStatusOk = 200;
constexpr int kStatusFound = 302;
constexpr int kStatusSeeOther = 303;

}  // namespace

CDataDownloadSession::CDataDownloadSession(IDataDownloadSessionEventListener* listener)
    : listener_(listener) {}

CDataDownloadSession::~CDataDownloadSession() {
    Stop(false);
}

void CDataDownloadSession::SetUrl(const char* url) {
    url_ = url ? url : "";
    redirect_.clear();
    redirects_ = 0;
}

void CDataDownloadSession::Fetch(const char* url) {
    SetUrl(url);
    Start();
}

void CDataDownloadSession::Start() {
    // Whatever a running fetch would still bring is no longer wanted; its
    // connection must not stay open with this session as its listener.
    if (connection_) DropHttpConnection(connection_);
    DropDocument();
    if (!tickTimer_ && tickTimer_.CreateInstance(kClassTimer))
        // A timer that cannot start only never fires.
        (void)tickTimer_.As<cpCTimer>()->Start(kTickMs, &CDataDownloadSession::OnTickTimer, this,
                                               kTimerIdNone, nullptr);
    HttpConnectionSettings settings;
    settings.actionType = 1;
    settings.connectTimeoutSeconds = kTimeoutSeconds;
    settings.idleTimeoutSeconds = kTimeoutSeconds;
    const std::string& target = redirect_.empty() ? url_ : redirect_;
    if (!OpenHttpConnection(connection_, settings, this, target))
        Fail(false, kDocumentConnectFailed);
}

void CDataDownloadSession::Stop(bool abort) {
    if (tickTimer_) {
        (void)tickTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
        tickTimer_.Reset();
    }
    if (!connection_) return;
    if (abort)
        (void)connection_.As<vzIQoSContext>()
            ->MarkAddressBad();  // a host unknown to the cache is simply not marked
    DropHttpConnection(connection_);
}

const char* CDataDownloadSession::DocumentData() const {
    return complete_ ? buffer_.get() : nullptr;
}

std::int64_t CDataDownloadSession::DocumentLength() const {
    return complete_ ? announced_ : 0;
}

void CDataDownloadSession::DropDocument() {
    buffer_.reset();
    received_ = 0;
    announced_ = 0;
    complete_ = false;
}

void CDataDownloadSession::Fail(bool abort, int reason) {
    Stop(abort);
    DropDocument();
    if (listener_) listener_->OnDocumentFailed(reason);
}

void CDataDownloadSession::OnTickTimer(void* self) {
    auto* session = static_cast<CDataDownloadSession*>(self);
    if (session->listener_) session->listener_->OnDocumentTick();
}

void CDataDownloadSession::OnConnected(std::uint32_t) {
    announced_ = 0;
}

void CDataDownloadSession::OnHeaderReceived(std::uint32_t) {
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    if (!layer) return;
    int status = 0;
    (void)layer->GetStatusCode(&status);  // 0 without a status line
    if (status == kStatusOk) {
        std::int64_t length = 0;
        (void)layer->GetContentLength(&length);  // 0 without a length
        OnStatusOk(length);
    } else if (status == kStatusFound || status == kStatusSeeOther) {
        std::string location;
        (void)layer->GetHeader("Location:", &location);  // "" without one, refused below
        OnRedirect(FromUtf8(location));
    } else {
        Fail(true, kDocumentBadResponse);
    }
}

void CDataDownloadSession::OnStatusOk(std::int64_t contentLength) {
    // Without an announced length there is no way to tell a whole document
    // from a cut one, so such answers are not read at all.
    if (contentLength <= 0) {
        Fail(true, kDocumentBadResponse);
        return;
    }
    if (contentLength > kMaxDocumentBytes) {
        WriteServiceLogFormat("[OstrelLib] document too large : %lld",
                              static_cast<long long>(contentLength));
        Fail(false, kDocumentBadResponse);
        return;
    }
    buffer_ = std::make_unique<char[]>(static_cast<std::size_t>(contentLength));  // zero-filled
    received_ = 0;
    announced_ = contentLength;
}

void CDataDownloadSession::OnRedirect(const std::string& location) {
    // The server answered, so its address is fine: neither failure marks it.
    if (location.empty() || ++redirects_ > kMaxRedirects) {
        Fail(false, kDocumentBadResponse);
        return;
    }
    Stop(false);
    redirect_ = location;
    Start();
}

std::int32_t CDataDownloadSession::OnBodyData(std::uint32_t, const void* data,
                                              std::int32_t length) {
    if (!connection_ || length <= 0) return 0;
    if (buffer_ && received_ < announced_) {
        std::int64_t take = std::min<std::int64_t>(length, announced_ - received_);
        std::memcpy(buffer_.get() + received_, data, static_cast<std::size_t>(take));
        received_ += take;
    }
    // Bytes past the announced length are taken and thrown away; the buffer
    // never grows beyond what the head promised.
    return length;
}

void CDataDownloadSession::OnComplete(std::uint32_t) {
    if (!connection_ || !buffer_ || received_ < announced_) return;
    Stop(false);
    complete_ = true;
    if (listener_) listener_->OnDocumentComplete();
}

void CDataDownloadSession::OnSendReady(std::uint32_t) {}

// Completion drops the connection before anything else could arrive, so a
// close seen here always means the document is missing or cut short.
void CDataDownloadSession::OnClosed(std::uint32_t) {
    Fail(true, kDocumentClosedEarly);
}

void CDataDownloadSession::OnConnectFailed(std::uint32_t) {
    Fail(false, kDocumentConnectFailed);
}

void CDataDownloadSession::OnIdleTimeout(std::uint32_t) {
    Fail(false, kDocumentIdleTimeout);
}

void CDataDownloadSession::OnHostUnreachable(std::uint32_t) {
    Fail(false, kDocumentHostUnreachable);
}
