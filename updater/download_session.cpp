#include "updater/download_session.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "http/content_range.h"
#include "http/http_status.h"
#include "platform/kernel.h"
#include "service/base/service_log.h"
#include "transport/cp_timer.h"
#include "updater/manifest_signature.h"

namespace {

constexpr std::int64_t kManifestCap = 1 << 20;
constexpr std::int64_t kDigestCap = 64 << 10;
constexpr std::int64_t kArchiveCap = 256ll << 20;
constexpr std::uint32_t kDeadlineCheckMs = 1000;

std::atomic<std::int64_t> g_capForTesting{0};
std::atomic<int> g_faultCode{0};
std::atomic<std::int64_t> g_deadlineForTesting{0};
std::atomic<int> g_faultCount{0};

ExchangePlan UpdatePlan() {
    ExchangePlan plan;
    plan.role = ExchangeRole::kUpdate;
    plan.settings.actionType = 1;
    plan.settings.connectTimeoutSeconds = CDownloadSession::kTimeoutSeconds;
    plan.settings.idleTimeoutSeconds = CDownloadSession::kTimeoutSeconds;
    plan.need = BodyNeed::kLength;
    plan.httpsOnly = true;
    return plan;
}

// The session error for how the exchange failed.
int CodeOf(HttpOutcome outcome) {
    switch (outcome) {
        case HttpOutcome::kConnectFailed:
        case HttpOutcome::kNoConnection:
        case HttpOutcome::kProxyRefused:
            return kUpdateConnectFailed;
        case HttpOutcome::kTooSlow:
            return kUpdateIdleTimeout;
        case HttpOutcome::kClosedEarly:
        case HttpOutcome::kBadHead:
        case HttpOutcome::kNoAddress:
            return kUpdateClosedEarly;
        case HttpOutcome::kUnreachable:
            return kUpdateHostUnreachable;
        default:
            return kUpdateBadResponse;
    }
}

}  // namespace

std::int64_t UpdateBodyCap(int kind) {
    if (std::int64_t forced = g_capForTesting.load(); forced > 0) return forced;
    switch (kind) {
        case kDownloadManifest:
            return kManifestCap;
        case kDownloadDigest:
            return kDigestCap;
        default:
            return kArchiveCap;
    }
}

void SetUpdateBodyCapForTesting(std::int64_t bytes) {
    g_capForTesting = bytes;
}

void SetUpdateFetchDeadlineForTesting(std::int64_t ms) {
    g_deadlineForTesting = ms;
}

void SetUpdateSessionFaultForTesting(int code, int count) {
    g_faultCode = code;
    g_faultCount = count;
}

CDownloadSession::CDownloadSession(IDownloadSessionEventListener* owner)
    : owner_(owner), exchange_(this, UpdatePlan()) {}

CDownloadSession::~CDownloadSession() {
    StopDeadline();
    exchange_.Abandon();
}

void CDownloadSession::StartDeadline(std::int64_t fromNowMs) {
    if (std::int64_t forced = g_deadlineForTesting.load(); forced > 0) fromNowMs = forced;
    startedAtMs_ = plat::MonotonicMs();
    deadlineAtMs_ = startedAtMs_ + fromNowMs;
    if (!deadlineTimer_ && !deadlineTimer_.CreateInstance(kClassTimer)) return;
    auto* timer = deadlineTimer_.As<cpCTimer>();
    if (timer->Running()) return;
    // Without a timer only the low-speed floor and the idle time-out hold.
    (void)timer->Start(kDeadlineCheckMs, &CDownloadSession::OnDeadlineTick, this, kTimerIdNone,
                       nullptr);
}

void CDownloadSession::StopDeadline() {
    if (deadlineTimer_) (void)deadlineTimer_.As<cpCTimer>()->Stop();  // cannot fail
}

void CDownloadSession::OnDeadlineTick(void* self) {
    auto* session = static_cast<CDownloadSession*>(self);
    if (!session->busy_) return session->StopDeadline();
    if (plat::MonotonicMs() < session->deadlineAtMs_) return;
    const std::int64_t took = (session->deadlineAtMs_ - session->startedAtMs_) / 1000;
    session->Fail(kUpdateIdleTimeout,
                  "the download did not end within " + std::to_string(took) + " s");
}

void CDownloadSession::StartFetch() {
    if (!entry_) return;
    std::string url;
    entry_->GetUrl(&url);
    if (url.empty()) return;
    exchange_.Finish();
    url_ = url;
    busy_ = true;
    kind_ = entry_->Classify(url_);
    failure_.clear();
    std::vector<char>().swap(body_);
    std::vector<char>().swap(manifest_);
    signatureStage_ = false;
    contentLength_ = 0;
    archive_ = kind_ == kDownloadArchive ? entry_->Archive() : nullptr;
    rangeFrom_ = 0;
    StartDeadline(kSmallFetchDeadlineMs);
    if (g_faultCount.load() > 0) {
        --g_faultCount;
        Fail(g_faultCode.load(), "a fault injected for a test");
        return;
    }
    if (kind_ == kDownloadArchive && !archive_) {
        Fail(kUpdateBadResponse, "no place to keep the archive");
        return;
    }
    if (archive_ && archive_->WholeOnDisk()) {
        // An earlier try brought all of it and only its digests were in
        // doubt: it is checked again against the digest file just fetched.
        FinishArchive();
        return;
    }
    exchange_.Start(url_);
}

bool CDownloadSession::OnRequest(HttpHeaders* headers) {
    // What an earlier try verified is kept: only the rest is asked for.
    rangeFrom_ = archive_ && !signatureStage_ ? archive_->ResumeOffset() : 0;
    if (rangeFrom_ > 0) headers->emplace_back("Range", "bytes=" + std::to_string(rangeFrom_) + "-");
    contentLength_ = 0;
    return true;
}

void CDownloadSession::Fail(int code, std::string why) {
    busy_ = false;
    StopDeadline();
    exchange_.Abandon();
    std::vector<char>().swap(body_);
    failure_ = std::move(why);
    if (!failure_.empty())
        WriteServiceLogFormat("[OstrelLib] Update download failed : %s (%s)", url_.c_str(),
                              failure_.c_str());
    // Last: the owner may destroy this session.
    if (owner_) owner_->OnSessionError(this, code);
}

void CDownloadSession::OnConnected() {
    if (owner_) owner_->OnSessionConnected(this);
}

HeadVerdict CDownloadSession::OnHead(const ExchangeHead& head) {
    const std::string& url = exchange_.Url();
    const bool partial = head.status == eNWHSC_HTTP_PARTIAL_CONTENT && rangeFrom_ > 0;
    if (head.status != eNWHSC_HTTP_OK && !partial)
        return HeadVerdict::Reject(HttpOutcome::kWrongPart,
                                   UnexpectedStatusText(head.status) + " for " + url);
    const std::int64_t length = head.contentLength;
    if (length <= 0)
        return HeadVerdict::Reject(HttpOutcome::kNotTheBody, "no length announced for " + url);
    // The archive's whole length: a partial answer must continue exactly
    // where the kept bytes end.
    std::int64_t total = length;
    std::int64_t from = 0;
    if (partial) {
        std::string value;
        ContentRange range;
        if (vzFailed(head.layer->GetHeader("Content-Range", &value)) ||
            !ParseContentRange(value, &range) || range.first != rangeFrom_ ||
            range.last != rangeFrom_ + length - 1 || range.total != range.last + 1)
            return HeadVerdict::Reject(HttpOutcome::kWrongPart,
                                       "the server sent another range (" + value.substr(0, 64) + ")");
        total = range.total;
        from = rangeFrom_;
    }
    const std::int64_t cap = UpdateBodyCap(signatureStage_ ? kDownloadDigest : kind_);
    if (total > cap)
        return HeadVerdict::Reject(HttpOutcome::kNotTheBody,
                                   "the body of " + std::to_string(total) +
                                       " bytes is over the cap of " + std::to_string(cap));
    if (archive_ && !signatureStage_ && !archive_->Begin(from, total))
        return HeadVerdict::Reject(HttpOutcome::kNotTheBody,
                                   "the archive cannot be written to " + archive_->Path());
    contentLength_ = length;
    if (kind_ == kDownloadArchive && !signatureStage_) {
        // The archive's time follows from its length, counted from the start.
        const std::int64_t elapsed = plat::MonotonicMs() - startedAtMs_;
        StartDeadline(std::max(kArchiveDeadlineMs, length / kArchiveFloorBytesPerSecond * 1000) -
                      elapsed);
        startedAtMs_ -= elapsed;
    }
    if (!archive_ || signatureStage_) body_.reserve(static_cast<std::size_t>(length));
    if (kind_ == kDownloadArchive && owner_) owner_->OnFileSize(this, url_.c_str(), total);
    return HeadVerdict::Take();
}

std::int32_t CDownloadSession::OnBody(const void* data, std::int32_t length) {
    if (contentLength_ <= 0) return length;
    if (archive_ && !signatureStage_) {
        // Straight to the disk: an archive never sits in memory whole.
        if (!archive_->Write(data, static_cast<std::size_t>(length))) {
            Fail(kUpdateBadResponse, "the archive cannot be written to " + archive_->Path());
            return length;
        }
        if (owner_) owner_->OnFileProgress(this, url_.c_str(), archive_->Held());
        return length;
    }
    // The layer hands over no more than the announced length.
    const std::int64_t room = contentLength_ - static_cast<std::int64_t>(body_.size());
    const std::int64_t take = std::min<std::int64_t>(length, room);
    if (take > 0)
        body_.insert(body_.end(), static_cast<const char*>(data),
                     static_cast<const char*>(data) + take);
    return length;
}

void CDownloadSession::OnEnd() {
    if (archive_ && !signatureStage_) {
        if (!archive_->Finish()) {
            Fail(kUpdateClosedEarly, "the archive did not arrive whole");
            return;
        }
        FinishArchive();
        return;
    }
    if (static_cast<std::int64_t>(body_.size()) < contentLength_) {
        Fail(kUpdateClosedEarly, "the body did not arrive whole");
        return;
    }
    if (kind_ == kDownloadManifest && !signatureStage_ && ManifestSignatureRequired()) {
        // The manifest waits for its signature, fetched by the same rules.
        manifest_.swap(body_);
        std::vector<char>().swap(body_);
        signatureStage_ = true;
        contentLength_ = 0;
        StartDeadline(kSmallFetchDeadlineMs);
        exchange_.Start(url_ + ".sig");
        return;
    }
    DownloadResult result;
    result.url = url_;
    if (signatureStage_) {
        std::string why;
        if (!VerifyManifestSignature(reinterpret_cast<const std::uint8_t*>(manifest_.data()),
                                     static_cast<std::int64_t>(manifest_.size()),
                                     reinterpret_cast<const std::uint8_t*>(body_.data()),
                                     contentLength_, &why)) {
            WriteServiceLogFormat("[OstrelLib] Update manifest refused : %s", why.c_str());
            result.kind = kDownloadManifest;
            result.code = kDownloadManifestUnusable;
        } else if (entry_) {
            result.code =
                entry_->OnData(url_, reinterpret_cast<const std::uint8_t*>(manifest_.data()),
                               static_cast<std::int64_t>(manifest_.size()), &result.kind);
        }
        std::vector<char>().swap(manifest_);
    } else if (entry_) {
        result.code = entry_->OnData(url_, reinterpret_cast<const std::uint8_t*>(body_.data()),
                                     contentLength_, &result.kind);
    }
    std::vector<char>().swap(body_);
    if (entry_ && !entry_->IsFinished()) {
        // The digest file is in: the same session fetches the archive.
        StartFetch();
        return;
    }
    busy_ = false;
    StopDeadline();
    // Last: the owner may destroy this session.
    if (owner_) owner_->OnSessionComplete(this, result);
}

void CDownloadSession::FinishArchive() {
    DownloadResult result;
    result.url = url_;
    result.kind = kDownloadArchive;
    result.code = entry_ ? entry_->OnArchiveFetched(url_, &result.kind) : kDownloadNoData;
    busy_ = false;
    StopDeadline();
    // Last: the owner may destroy this session.
    if (owner_) owner_->OnSessionComplete(this, result);
}

void CDownloadSession::OnFailed(const ExchangeFailure& failure) {
    std::string why = failure.reason;
    // The address goes with a status, so the log names the server that said it.
    if (why.rfind("HTTP ", 0) == 0 && why.find(" for ") == std::string::npos)
        why += " for " + failure.url;
    Fail(CodeOf(failure.outcome), std::move(why));
}
