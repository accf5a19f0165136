#include "transfers/data_download_session.h"

#include <algorithm>
#include <cstring>

#include "service/base/service_log.h"
#include "transport/cp_timer.h"

namespace {

ExchangePlan DocumentPlan() {
    ExchangePlan plan;
    plan.role = ExchangeRole::kDocument;
    plan.settings.actionType = 1;
    plan.settings.connectTimeoutSeconds = CDataDownloadSession::kTimeoutSeconds;
    plan.settings.idleTimeoutSeconds = CDataDownloadSession::kTimeoutSeconds;
    plan.settings.acceptChunked = true;  // the list may come chunked from an application server
    plan.need = BodyNeed::kLengthOrChunked;
    return plan;
}

// The reason code the window hears for how the exchange failed.
int ReasonOf(HttpOutcome outcome) {
    switch (outcome) {
        case HttpOutcome::kConnectFailed:
        case HttpOutcome::kNoConnection:
        case HttpOutcome::kProxyRefused:
            return kDocumentConnectFailed;
        case HttpOutcome::kTooSlow:
            return kDocumentIdleTimeout;
        case HttpOutcome::kClosedEarly:
        case HttpOutcome::kBadHead:
        case HttpOutcome::kNoAddress:
            return kDocumentClosedEarly;
        case HttpOutcome::kUnreachable:
            return kDocumentHostUnreachable;
        default:
            return kDocumentBadResponse;
    }
}

}  // namespace

CDataDownloadSession::CDataDownloadSession(IDataDownloadSessionEventListener* listener)
    : listener_(listener), exchange_(this, DocumentPlan()) {}

CDataDownloadSession::~CDataDownloadSession() { Stop(false); }

void CDataDownloadSession::SetUrl(const char* url) { url_ = url ? url : ""; }

void CDataDownloadSession::Fetch(const char* url) {
    SetUrl(url);
    Start();
}

void CDataDownloadSession::Start() {
    // Whatever a running fetch would still bring is no longer wanted.
    exchange_.Finish();
    DropDocument();
    failure_.clear();
    if (!tickTimer_ && tickTimer_.CreateInstance(kClassTimer)) {
        // A timer that cannot start only never fires.
        (void)tickTimer_.As<cpCTimer>()->Start(kTickMs, &CDataDownloadSession::OnTickTimer, this,
                                               kTimerIdNone, nullptr);
    }
    exchange_.Start(url_);
}

void CDataDownloadSession::Stop(bool abort) {
    if (tickTimer_) {
        (void)tickTimer_.As<cpCTimer>()->Stop();  // stopping a timer cannot fail
        tickTimer_.Reset();
    }
    exchange_.Abandon(abort);
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

void CDataDownloadSession::Fail(int reason, std::string why) {
    Stop(false);
    DropDocument();
    failure_ = why.empty() ? "the file list could not be fetched" : std::move(why);
    WriteServiceLogFormat("[OstrelLib] Document failed : %s (%s)", url_.c_str(), failure_.c_str());
    if (listener_) listener_->OnDocumentFailed(reason);
}

void CDataDownloadSession::OnTickTimer(void* self) {
    auto* session = static_cast<CDataDownloadSession*>(self);
    if (session->listener_) session->listener_->OnDocumentTick();
}

bool CDataDownloadSession::OnRequest(HttpHeaders*) {
    DropDocument();
    return true;
}

HeadVerdict CDataDownloadSession::OnHead(const ExchangeHead& head) {
    if (head.status != 200) return HeadVerdict::Reject(HttpOutcome::kOtherStatus, UnexpectedStatusText(head.status));
    if (head.framing == HttpBodyFraming::kChunked) {
        received_ = 0;
        announced_ = -1;
        return HeadVerdict::Take();
    }
    // Without an announced length there is no way to tell a whole document
    // from a cut one, so such answers are not read at all.
    if (head.contentLength <= 0)
        return HeadVerdict::Reject(HttpOutcome::kNotTheBody, "the server sent an empty file list");
    if (head.contentLength > kMaxDocumentBytes) {
        WriteServiceLogFormat("[OstrelLib] document too large : %lld",
                              static_cast<long long>(head.contentLength));
        return HeadVerdict::Reject(HttpOutcome::kNotTheBody, "the file list is larger than 16 MiB");
    }
    buffer_.assign(static_cast<std::size_t>(head.contentLength), '\0');
    received_ = 0;
    announced_ = head.contentLength;
    return HeadVerdict::Take();
}

std::int32_t CDataDownloadSession::OnBody(const void* data, std::int32_t length) {
    if (announced_ < 0) {
        // Chunked: the body grows as it comes, never past the bound.
        if (received_ + length > kMaxDocumentBytes) {
            exchange_.Reject(HttpOutcome::kNotTheBody, "the file list is larger than 16 MiB");
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

void CDataDownloadSession::OnEnd() {
    if (announced_ < 0 && received_ == 0) {
        Fail(kDocumentBadResponse, "the server sent an empty file list");
        return;
    }
    Stop(false);
    complete_ = true;
    if (listener_) listener_->OnDocumentComplete();
}

void CDataDownloadSession::OnFailed(const ExchangeFailure& failure) {
    std::string why = failure.reason;
    // The address goes with a status, so the player knows which server said it.
    if (why.rfind("HTTP ", 0) == 0) why += " for " + failure.url;
    Fail(ReasonOf(failure.outcome), std::move(why));
}
