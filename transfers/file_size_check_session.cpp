#include "transfers/file_size_check_session.h"

#include "http/code_page.h"
#include "http/http_status.h"
#include "service/base/service_log.h"
#include "service/base/status_codes.h"
#include "transfers/connection_recipe.h"
#include "transfers/http_response_check.h"

CPlatformFileSizeCheckSession::CPlatformFileSizeCheckSession(
    IPlatformFileSizeCheckSessionEventListener* listener, JobFileEntry* entry)
    : entry_(entry), cursor_(ExchangeLimits{kAttemptsPerUrl, 20}), listener_(listener) {}

CPlatformFileSizeCheckSession::~CPlatformFileSizeCheckSession() { DropHttpConnection(connection_); }

void CPlatformFileSizeCheckSession::SetUrls(const std::string& urlField) { cursor_.Reset(urlField); }

void CPlatformFileSizeCheckSession::Probe() {
    if (connection_) return;
    for (;;) {
        if (!cursor_.TakeAttempt()) {
            Fail(kResultFailed, cursor_.LastFailure());
            return;
        }
        HttpConnectionSettings settings;
        settings.actionType = 1;
        settings.connectTimeoutSeconds = settings.idleTimeoutSeconds = kTimeoutSeconds;
        std::string whyNot;
        if (OpenHttpConnection(connection_, settings, this, cursor_.Url(), {}, &whyNot)) return;
        cursor_.NoteFailure(whyNot);
    }
}

void CPlatformFileSizeCheckSession::Fail(int code, const std::string& reason) {
    DropHttpConnection(connection_);
    WriteServiceLogFormat("[OstrelLib] Size probe failed : %s (%s)", entry_->url.c_str(),
                          reason.c_str());
    // The text names the file and why: it becomes the job's message.
    std::string text = entry_->url;
    if (!reason.empty()) text += ": " + reason;
    if (listener_) listener_->OnProbeFailed(this, code, text);
}

void CPlatformFileSizeCheckSession::Retry(std::string reason) {
    DropHttpConnection(connection_);
    cursor_.NoteFailure(std::move(reason));
    Probe();
}

void CPlatformFileSizeCheckSession::OnHeaderReceived(std::uint32_t) {
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    int status = 0;
    std::int64_t length = 0;
    std::string location;
    // The getters leave 0 and "" when the head has no such value.
    (void)layer->GetStatusCode(&status);
    (void)layer->GetContentLength(&length);
    (void)layer->GetUndecodedHeader("Location:", &location);

    if (status == eNWHSC_HTTP_OK) {
        ResponseCheck check = CheckResponseBody(layer, BodyNeed::kLength);
        DropHttpConnection(connection_);
        if (!check.ok) {
            Fail(kResultFailed, check.reason);
        } else if (length <= 0) {
            Fail(kResultFailed, "the server announced an empty file");
        } else {
            entry_->remoteSize = length;
            if (listener_) listener_->OnProbeDone(this);  // may delete this session
        }
        return;
    }
    DropHttpConnection(connection_);
    if (IsRedirectStatus(status)) {
        (void)cursor_.OnRedirect(status, FromUtf8(location));  // a refused one is a failed attempt
        Probe();
        return;
    }
    Fail(kResultFailed, UnexpectedStatusText(status));
}

std::int32_t CPlatformFileSizeCheckSession::OnBodyData(std::uint32_t, const void*,
                                                       std::int32_t length) {
    DropHttpConnection(connection_);
    return length;
}

void CPlatformFileSizeCheckSession::OnClosed(std::uint32_t) {
    Retry("the connection closed before an answer");
}

void CPlatformFileSizeCheckSession::OnConnectFailed(std::uint32_t) {
    Retry("the connection failed");
}

void CPlatformFileSizeCheckSession::OnIdleTimeout(std::uint32_t) {
    Retry("the server stopped answering (or answered too slowly)");
}
