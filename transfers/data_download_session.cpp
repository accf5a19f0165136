#include "transfers/data_download_session.h"

#include <algorithm>
#include <cstring>

#include "http/code_page.h"
#include "http/http_response_head.h"
#include "http/http_status.h"
#include "service/base/service_log.h"
#include "transfers/connection_recipe.h"
#include "transfers/http_response_check.h"
#include "transport/cp_timer.h"
#include "transport/net_interfaces.h"

CDataDownloadSession::CDataDownloadSession(IDataDownloadSessionEventListener* listener)
    : listener_(listener), cursor_(ExchangeLimits{1 + kMaxRedirects, kMaxRedirects}) {}

CDataDownloadSession::~CDataDownloadSession() { Stop(false); }

void CDataDownloadSession::SetUrl(const char* url) {
    url_ = url ? url : "";
    cursor_.Reset(url_);
}

std::string CDataDownloadSession::RedirectTarget() const {
    return cursor_.Url() == cursor_.Alternative() ? std::string() : cursor_.Url();
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
    failure_.clear();
    if (!tickTimer_ && tickTimer_.CreateInstance(kClassTimer)) {
        // A timer that cannot start only never fires.
        (void)tickTimer_.As<cpCTimer>()->Start(kTickMs, &CDataDownloadSession::OnTickTimer, this,
                                               kTimerIdNone, nullptr);
    }
    Request();
}

void CDataDownloadSession::Request() {
    if (!cursor_.TakeAttempt()) {
        Fail(false, kDocumentBadResponse, cursor_.LastFailure());
        return;
    }
    HttpConnectionSettings settings;
    settings.actionType = 1;
    settings.connectTimeoutSeconds = kTimeoutSeconds;
    settings.idleTimeoutSeconds = kTimeoutSeconds;
    settings.acceptChunked = true;  // the list may come chunked from an application server
    std::string whyNot;
    if (!OpenHttpConnection(connection_, settings, this, cursor_.Url(), {}, &whyNot))
        Fail(false, kDocumentConnectFailed, whyNot);
}

void CDataDownloadSession::Stop(bool abort) {
    if (tickTimer_) {
        (void)tickTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
        tickTimer_.Reset();
    }
    if (!connection_) return;
    // A host unknown to the cache is simply not marked.
    if (abort) (void)connection_.As<vzIQoSContext>()->MarkAddressBad();
    DropHttpConnection(connection_);
}

const char* CDataDownloadSession::DocumentData() const {
    return complete_ ? buffer_.data() : nullptr;
}

std::int64_t CDataDownloadSession::DocumentLength() const { return complete_ ? received_ : 0; }

void CDataDownloadSession::DropDocument() {
    std::vector<char>().swap(buffer_);
    received_ = 0;
    announced_ = 0;
    complete_ = false;
}

void CDataDownloadSession::Fail(bool abort, int reason, std::string why) {
    Stop(abort);
    DropDocument();
    failure_ = why.empty() ? "the file list could not be fetched" : std::move(why);
    WriteServiceLogFormat("[OstrelLib] Document failed : %s (%s)", url_.c_str(), failure_.c_str());
    if (listener_) listener_->OnDocumentFailed(reason);
}

void CDataDownloadSession::OnTickTimer(void* self) {
    auto* session = static_cast<CDataDownloadSession*>(self);
    if (session->listener_) session->listener_->OnDocumentTick();
}

void CDataDownloadSession::OnConnected(std::uint32_t) { announced_ = 0; }

void CDataDownloadSession::OnHeaderReceived(std::uint32_t) {
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    if (!layer) return;
    int status = 0;
    (void)layer->GetStatusCode(&status);  // 0 without a status line
    if (status == eNWHSC_HTTP_OK) {
        OnStatusOk(layer);
    } else if (IsRedirectStatus(status)) {
        std::string location;
        (void)layer->GetUndecodedHeader("Location:", &location);  // "" without one, refused below
        OnRedirect(status, FromUtf8(location));
    } else {
        Fail(true, kDocumentBadResponse, UnexpectedStatusText(status) + " for " + cursor_.Url());
    }
}

void CDataDownloadSession::OnStatusOk(vzIHttpClientExLayer* layer) {
    ResponseCheck check = CheckResponseBody(layer, BodyNeed::kLengthOrChunked);
    if (!check.ok) {
        Fail(true, kDocumentBadResponse, check.reason);
        return;
    }
    int framing = 0;
    (void)layer->GetBodyFraming(&framing);  // a parsed head always has one
    if (static_cast<HttpBodyFraming>(framing) == HttpBodyFraming::kChunked) {
        received_ = 0;
        announced_ = -1;
        return;
    }
    std::int64_t contentLength = 0;
    (void)layer->GetContentLength(&contentLength);  // 0 without a length
    // Without an announced length there is no way to tell a whole document
    // from a cut one, so such answers are not read at all.
    if (contentLength <= 0) {
        Fail(true, kDocumentBadResponse, "the server sent an empty file list");
        return;
    }
    if (contentLength > kMaxDocumentBytes) {
        WriteServiceLogFormat("[OstrelLib] document too large : %lld",
                              static_cast<long long>(contentLength));
        Fail(false, kDocumentBadResponse, "the file list is larger than 16 MiB");
        return;
    }
    buffer_.assign(static_cast<std::size_t>(contentLength), '\0');
    received_ = 0;
    announced_ = contentLength;
}

void CDataDownloadSession::OnRedirect(int status, const std::string& location) {
    // The server answered, so its address is fine: neither failure marks it.
    if (cursor_.OnRedirect(status, location) != CHttpExchangeCursor::Redirect::kFollow) {
        Fail(false, kDocumentBadResponse, cursor_.LastFailure());
        return;
    }
    DropHttpConnection(connection_);
    DropDocument();
    Request();
}

std::int32_t CDataDownloadSession::OnBodyData(std::uint32_t, const void* data, std::int32_t length) {
    if (!connection_ || length <= 0) return 0;
    if (announced_ < 0) {
        // Chunked: the body grows as it comes, never past the bound.
        if (received_ + length > kMaxDocumentBytes) {
            Fail(false, kDocumentBadResponse, "the file list is larger than 16 MiB");
            return length;
        }
        buffer_.insert(buffer_.end(), static_cast<const char*>(data),
                       static_cast<const char*>(data) + length);
        received_ += length;
        return length;
    }
    // The layer never hands over more than the announced length.
    const std::int64_t take = std::min<std::int64_t>(length, announced_ - received_);
    if (take > 0) {
        std::memcpy(buffer_.data() + received_, data, static_cast<std::size_t>(take));
        received_ += take;
    }
    return length;
}

void CDataDownloadSession::OnComplete(std::uint32_t) {
    if (!connection_ || (announced_ >= 0 && received_ < announced_)) return;
    if (announced_ < 0 && received_ == 0) {
        Fail(false, kDocumentBadResponse, "the server sent an empty file list");
        return;
    }
    Stop(false);
    complete_ = true;
    if (listener_) listener_->OnDocumentComplete();
}

void CDataDownloadSession::OnSendReady(std::uint32_t) {}

// Completion drops the connection before anything else could arrive, so a
// close seen here always means the document is missing or cut short.
void CDataDownloadSession::OnClosed(std::uint32_t) {
    Fail(true, kDocumentClosedEarly,
         announced_ != 0 ? "the connection closed before the whole file list arrived"
                         : "the connection closed before an answer");
}

void CDataDownloadSession::OnConnectFailed(std::uint32_t) {
    Fail(false, kDocumentConnectFailed, "the connection to " + cursor_.Url() + " failed");
}

void CDataDownloadSession::OnIdleTimeout(std::uint32_t) {
    Fail(false, kDocumentIdleTimeout, "the server stopped answering (or answered too slowly)");
}

void CDataDownloadSession::OnHostUnreachable(std::uint32_t) {
    Fail(false, kDocumentHostUnreachable, "the host is unreachable");
}
