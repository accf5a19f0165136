#include "transfers/content_length_check_session.h"

#include "http/code_page.h"
#include "http/http_status.h"
#include "service/base/service_log.h"
#include "transfers/connection_recipe.h"
#include "transfers/http_response_check.h"

CContentLengthCheckSession::CContentLengthCheckSession(
    IContentLengthCheckSessionEventListener* owner, std::int32_t index, const std::string& urlField)
    : index_(index),
      field_(urlField),
      cursor_(ExchangeLimits{kAttemptsPerUrl, 20}),
      owner_(owner) {
    cursor_.Reset(field_);
}

CContentLengthCheckSession::~CContentLengthCheckSession() { Close(); }

void CContentLengthCheckSession::Close() { DropHttpConnection(connection_); }

void CContentLengthCheckSession::Reset() {
    Close();
    cursor_.Reset(field_);
    length_ = 0;
}

std::string CContentLengthCheckSession::RedirectAddress() const {
    return cursor_.Url() == cursor_.Alternative() ? std::string() : cursor_.Url();
}

void CContentLengthCheckSession::Failed() {
    WriteServiceLogFormat("[OstrelLib] Size check failed : %s (%s)", field_.c_str(),
                          cursor_.LastFailure().c_str());
    if (owner_) owner_->OnProbeFailed(index_, field_.c_str());
}

void CContentLengthCheckSession::Probe() {
    if (connection_) return;
    // A loop rather than recursion: a connection that cannot even be
    // created uses up the attempts at once.
    for (;;) {
        if (!cursor_.TakeAttempt()) {
            Failed();
            return;
        }
        HttpConnectionSettings settings;
        settings.actionType = 1;
        settings.connectTimeoutSeconds = kConnectTimeoutSeconds;
        settings.idleTimeoutSeconds = kIdleTimeoutSeconds;
        std::string whyNot;
        if (OpenHttpConnection(connection_, settings, this, cursor_.Url(), {}, &whyNot)) return;
        cursor_.NoteFailure(whyNot);
    }
}

void CContentLengthCheckSession::Retry(std::string reason) {
    Close();
    if (!reason.empty()) cursor_.NoteFailure(std::move(reason));
    Probe();
}

void CContentLengthCheckSession::OnHeaderReceived(std::uint32_t) {
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    if (!layer) return;
    int status = 0;
    std::int64_t length = 0;
    std::string location;
    // The getters leave 0 and "" when the head has no such value.
    (void)layer->GetStatusCode(&status);
    (void)layer->GetContentLength(&length);
    (void)layer->GetUndecodedHeader("Location:", &location);
    if (status == eNWHSC_HTTP_OK) {
        ResponseCheck check = CheckResponseBody(layer, BodyNeed::kLengthOrChunked);
        if (!check.ok) {
            Retry(check.reason);
            return;
        }
        // The head is all a size check needs; the body is never read.
        Close();
        length_ = length;
        if (owner_) owner_->OnLength(index_, length);
        return;
    }
    Close();
    if (IsRedirectStatus(status)) {
        (void)cursor_.OnRedirect(status, FromUtf8(location));  // a refused one is a failed attempt
        Probe();
        return;
    }
    Retry(UnexpectedStatusText(status));
}

std::int32_t CContentLengthCheckSession::OnBodyData(std::uint32_t, const void*, std::int32_t length) {
    return length < 0 ? 0 : length;
}

void CContentLengthCheckSession::OnClosed(std::uint32_t) {
    Retry("the connection closed before an answer");
}
void CContentLengthCheckSession::OnConnectFailed(std::uint32_t) { Retry("the connection failed"); }
void CContentLengthCheckSession::OnIdleTimeout(std::uint32_t) {
    Retry("the server stopped answering (or answered too slowly)");
}

void CContentLengthCheckSession::OnHostUnreachable(std::uint32_t) {
    Close();
    cursor_.NoteFailure("the host is unreachable");
    // A dead mirror is no reason to give up while another one is listed.
    if (cursor_.NextAlternative()) {
        Probe();
        return;
    }
    if (owner_) owner_->OnProbeUnreachable(index_);
}

void CContentLengthCheckSession::OnConnected(std::uint32_t) {}
void CContentLengthCheckSession::OnComplete(std::uint32_t) {}
void CContentLengthCheckSession::OnSendReady(std::uint32_t) {}
