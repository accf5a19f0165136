#include "transfers/http_exchange.h"

#include <cstdlib>

#include "http/code_page.h"
#include "http/http_status.h"
#include "http/proxy_tunnel_interfaces.h"
#include "http/split_url.h"
#include "platform/text.h"
#include "service/base/service_log.h"
#include "transfers/proxy_plan.h"
#include "transport/net_interfaces.h"

namespace {

// The first byte a "Range: bytes=N-..." asks for; -1 for none.
std::int64_t RangeStart(const HttpHeaders& headers) {
    for (const auto& [name, value] : headers) {
        if (name != "Range" || value.rfind("bytes=", 0) != 0) continue;
        char* end = nullptr;
        const long long start = std::strtoll(value.c_str() + 6, &end, 10);
        return end && *end == '-' && start >= 0 ? start : -1;
    }
    return -1;
}

std::string HostAndPort(const std::string& url) {
    std::string host, path;
    std::uint16_t port = 0;
    int scheme = 0;
    if (!SplitUrl(url, &host, &path, &port, &scheme)) return url.substr(0, 200);
    return host + ":" + std::to_string(port);
}

}  // namespace

CHttpExchange::CHttpExchange(IHttpExchangeSink* sink, ExchangePlan plan)
    : sink_(sink), plan_(std::move(plan)), cursor_(LimitsFor(plan_.role)) {}

CHttpExchange::~CHttpExchange() {
    *alive_ = false;
    DropConnection();
}

std::string CHttpExchange::RedirectTarget() const {
    return cursor_.Url() == cursor_.Alternative() ? std::string() : cursor_.Url();
}

std::string CHttpExchange::Peer() const {
    return proxyLabel_.empty() ? HostAndPort(cursor_.LastUrl()) : "the proxy " + proxyLabel_;
}

void CHttpExchange::DropConnection() {
    if (!connection_) return;
    if (plan_.carry)
        DropHttpConnection(connection_, *plan_.carry);
    else
        DropHttpConnection(connection_);
}

void CHttpExchange::Start(const std::string& urlField) {
    DropConnection();
    ++generation_;
    field_ = urlField;
    cursor_.Reset(field_);
    lastOutcome_ = HttpOutcome::kClosedEarly;
    running_ = true;
    Request();
}

void CHttpExchange::Finish() {
    ++generation_;
    running_ = false;
    DropConnection();
}

void CHttpExchange::Abandon(bool forgetAddress) {
    // A host unknown to the cache is simply not marked.
    if (forgetAddress && connection_) (void)connection_.As<vzIQoSContext>()->MarkAddressBad();
    Finish();
}

void CHttpExchange::Request() {
    while (running_) {
        if (!cursor_.TakeAttempt()) {
            Failed();
            return;
        }
        HttpOutcome outcome = HttpOutcome::kClosedEarly;
        std::string reason;
        bool stop = false;
        const auto alive = alive_;
        if (Send(&outcome, &reason, &stop)) return;
        if (stop || !*alive) return;
        if (!Continue(outcome, std::move(reason))) return;
    }
}

bool CHttpExchange::Send(HttpOutcome* outcome, std::string* reason, bool* stop) {
    const std::string url = cursor_.Url();
    headTaken_ = false;
    openFailure_.clear();
    proxyLabel_.clear();
    HttpRoute route;
    if (!DirectRoute(url, &route)) {
        *outcome = HttpOutcome::kAddressRefused;
        *reason = "not an http or https address: " + url.substr(0, 200);
        return false;
    }
    if (plan_.httpsOnly && !route.tls) {
        // A plain address would let anyone on the way replace what comes.
        *outcome = HttpOutcome::kAddressRefused;
        *reason = "not an https address: " + url;
        return false;
    }
    if (!PlanRoute(url, CurrentProxyRules(), &route, reason)) {
        *outcome = HttpOutcome::kNoAddress;
        return false;
    }
    HttpHeaders headers;
    const auto alive = alive_;
    const std::uint64_t generation = generation_;
    const bool requested = sink_->OnRequest(&headers);
    if (Superseded(alive, generation)) {
        *stop = true;
        return true;
    }
    if (!requested) {
        // The sink could not make its request and reports that itself.
        running_ = false;
        *stop = true;
        return true;
    }
    rangeFrom_ = RangeStart(headers);
    std::string whyNot;
    if (!OpenHttpConnection(connection_, plan_.settings, this, route, headers, &whyNot,
                            &openFailure_)) {
        *outcome = HttpOutcome::kNoConnection;
        *reason = std::move(whyNot);
        return false;
    }
    proxyLabel_ = route.proxyLabel;
    sink_->OnSent();
    return true;
}

bool CHttpExchange::Continue(HttpOutcome outcome, std::string reason) {
    cursor_.NoteFailure(std::move(reason));
    lastOutcome_ = outcome;
    switch (ReactionTo(plan_.role, outcome).step) {
        case Step::kRetry:
            return true;
        case Step::kNextAddress:
            if (cursor_.NextAlternative()) return true;
            break;
        case Step::kFail:
            break;
    }
    Failed();
    return false;
}

void CHttpExchange::Reject(HttpOutcome outcome, std::string reason) {
    // Also after the body's end: a whole answer the sink cannot use (a part
    // that stops short of the file's end) counts as a failed attempt.
    running_ = true;
    React(outcome, std::move(reason));
}

void CHttpExchange::React(HttpOutcome outcome, std::string reason) {
    if (ReactionTo(plan_.role, outcome).forgetAddress && connection_)
        (void)connection_.As<vzIQoSContext>()->MarkAddressBad();  // an unknown host stays unmarked
    DropConnection();
    if (!running_) return;
    if (Continue(outcome, std::move(reason))) Request();
}

void CHttpExchange::Failed() {
    running_ = false;
    DropConnection();
    ExchangeFailure failure;
    failure.outcome = lastOutcome_;
    failure.url = cursor_.LastUrl();
    failure.reason = cursor_.LastFailure();
    ++generation_;
    sink_->OnFailed(failure);  // last: the sink may destroy this exchange
}

void CHttpExchange::Complete() {
    running_ = false;
    DropConnection();
    ++generation_;
    sink_->OnEnd();  // last: the sink may destroy or restart this exchange
}

void CHttpExchange::OnConnected(std::uint32_t) {
    if (running_) sink_->OnConnected();
}

void CHttpExchange::OnHeaderReceived(std::uint32_t) {
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    if (!layer || !running_) return;
    ExchangeHead head;
    head.layer = layer;
    (void)layer->GetStatusCode(&head.status);          // 0 without a status line
    (void)layer->GetContentLength(&head.contentLength);  // 0 without a length
    int framing = 0;
    (void)layer->GetBodyFraming(&framing);  // a parsed head always has one
    head.framing = static_cast<HttpBodyFraming>(framing);
    const int status = head.status;

    if (IsRedirectStatus(status)) {
        std::string location;
        (void)layer->GetUndecodedHeader("Location:", &location);  // "" without one, refused below
        switch (cursor_.OnRedirect(status, FromUtf8(location))) {
            case CHttpExchangeCursor::Redirect::kFollow:
                if (plan_.httpsOnly && plat::AsciiLower(cursor_.Url().substr(0, 8)) != "https://") {
                    React(HttpOutcome::kAddressRefused, "not an https address: " + cursor_.Url());
                    return;
                }
                // The server answered, so its address is fine.
                DropConnection();
                Request();
                return;
            case CHttpExchangeCursor::Redirect::kRefused:
                React(HttpOutcome::kRedirectRefused, cursor_.LastFailure());
                return;
            case CHttpExchangeCursor::Redirect::kTooMany:
                React(HttpOutcome::kTooManyRedirects, cursor_.LastFailure());
                return;
        }
        return;
    }
    const bool usable = status == eNWHSC_HTTP_OK || status == eNWHSC_HTTP_PARTIAL_CONTENT;
    const bool sinkReads416 =
        status == eNWHSC_HTTP_RANGE_NOT_SATISFIABLE && plan_.takeRangeNotSatisfiable;
    if (!usable && !sinkReads416) {
        if (status == 407 && !proxyLabel_.empty()) {
            React(HttpOutcome::kProxyRefused,
                  "the proxy " + proxyLabel_ + " asks for a user name and password (HTTP 407)");
            return;
        }
        std::string reason = UnexpectedStatusText(status);
        if (!proxyLabel_.empty()) reason += " (through the proxy " + proxyLabel_ + ")";
        React(OutcomeOfStatus(status), std::move(reason));
        return;
    }
    if (usable) {
        const ResponseCheck check = CheckResponseBody(layer, plan_.need);
        if (!check.ok) {
            React(HttpOutcome::kNotTheBody, check.reason);
            return;
        }
        if (status == eNWHSC_HTTP_OK && rangeFrom_ > 0)
            WriteServiceLogFormat("[OstrelLib] %s ignored the range (from byte %lld); fetching all of it",
                                  cursor_.Url().c_str(), static_cast<long long>(rangeFrom_));
    }
    const auto alive = alive_;
    const std::uint64_t generation = generation_;
    HeadVerdict verdict = sink_->OnHead(head);
    if (Superseded(alive, generation)) return;
    switch (verdict.kind) {
        case HeadVerdict::kTake:
            headTaken_ = true;
            // An empty body has no end of its own to wait for.
            if (!head.hasBody() || sinkReads416) Complete();
            return;
        case HeadVerdict::kEnough:
            Complete();
            return;
        case HeadVerdict::kReject:
            React(verdict.outcome, std::move(verdict.reason));
            return;
    }
}

std::int32_t CHttpExchange::OnBodyData(std::uint32_t, const void* data, std::int32_t length) {
    if (!running_ || !headTaken_ || length <= 0) return length > 0 ? length : 0;
    return sink_->OnBody(data, length);
}

void CHttpExchange::OnComplete(std::uint32_t) {
    if (running_ && headTaken_ && connection_) Complete();
}

void CHttpExchange::OnSendReady(std::uint32_t) {}

void CHttpExchange::OnClosed(std::uint32_t) {
    if (!running_) {
        DropConnection();
        return;
    }
    std::string refusal;
    if (vzIHttpClientExLayer* layer = HttpLayerOf(connection_)) (void)layer->GetRefusal(&refusal);
    std::string tunnelRefusal;
    if (connection_) {
        vzIUnknown* tunnel = nullptr;
        if (vzSucceeded(connection_.As<vzIQoSContext>()->FindLayer(kClassProxyTunnelLayer, &tunnel)) &&
            tunnel)
            (void)static_cast<vzIProxyTunnelLayer*>(tunnel)->GetRefusal(&tunnelRefusal);
    }
    if (!openFailure_.empty()) {
        React(HttpOutcome::kNoAddress, openFailure_);
    } else if (!tunnelRefusal.empty()) {
        React(HttpOutcome::kProxyRefused, tunnelRefusal);
    } else if (!refusal.empty()) {
        React(HttpOutcome::kBadHead, "the server's answer was refused: " + refusal);
    } else if (headTaken_) {
        React(HttpOutcome::kClosedEarly, "the connection closed before the whole body arrived");
    } else {
        std::string reason = "the connection closed before an answer";
        if (!proxyLabel_.empty()) reason += " (through the proxy " + proxyLabel_ + ")";
        React(HttpOutcome::kClosedEarly, std::move(reason));
    }
}

void CHttpExchange::OnConnectFailed(std::uint32_t) {
    if (running_) React(HttpOutcome::kConnectFailed, "the connection to " + Peer() + " failed");
}

void CHttpExchange::OnIdleTimeout(std::uint32_t) {
    if (!running_) return;
    React(HttpOutcome::kTooSlow, headTaken_ ? "the server stopped sending (or sent too slowly)"
                                            : "the server stopped answering (or answered too slowly)");
}

void CHttpExchange::OnHostUnreachable(std::uint32_t) {
    if (running_) React(HttpOutcome::kUnreachable, "the host is unreachable (" + Peer() + ")");
}
