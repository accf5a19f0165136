#include "updater/download_session.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "http/code_page.h"
#include "http/content_range.h"
#include "http/http_status.h"
#include "platform/text.h"
#include "service/base/service_log.h"
#include "transfers/connection_recipe.h"
#include "transfers/http_response_check.h"
#include "platform/kernel.h"
#include "transport/cp_timer.h"
#include "transport/net_interfaces.h"
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

bool IsHttps(const std::string& url) {
    return plat::AsciiLower(url.substr(0, 8)) == "https://";
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
    : owner_(owner), cursor_(ExchangeLimits{1 + kMaxRedirects, kMaxRedirects}) {}

CDownloadSession::~CDownloadSession() {
    StopDeadline();
    CloseConnection();
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

void CDownloadSession::CloseConnection() {
    if (connection_) DropHttpConnection(connection_);
}

void CDownloadSession::StartFetch() {
    if (!entry_) return;
    std::string url;
    entry_->GetUrl(&url);
    if (url.empty()) return;
    CloseConnection();
    url_ = url;
    busy_ = true;
    kind_ = entry_->Classify(url_);
    failure_.clear();
    std::vector<char>().swap(body_);
    std::vector<char>().swap(manifest_);
    signatureStage_ = false;
    contentLength_ = 0;
    cursor_.Reset(url_);
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
    Request();
}

void CDownloadSession::Request() {
    if (!cursor_.TakeAttempt()) {
        Fail(kUpdateBadResponse, cursor_.LastFailure());
        return;
    }
    if (!IsHttps(cursor_.Url())) {
        // A plain address would let anyone on the way replace the engine.
        Fail(kUpdateBadResponse, "not an https address: " + cursor_.Url());
        return;
    }
    HttpConnectionSettings settings;
    settings.actionType = 1;
    settings.connectTimeoutSeconds = kTimeoutSeconds;
    settings.idleTimeoutSeconds = kTimeoutSeconds;
    // What an earlier try verified is kept: only the rest is asked for.
    rangeFrom_ = archive_ ? archive_->ResumeOffset() : 0;
    HttpHeaders headers;
    if (rangeFrom_ > 0) headers.emplace_back("Range", "bytes=" + std::to_string(rangeFrom_) + "-");
    std::string whyNot;
    if (!OpenHttpConnection(connection_, settings, this, cursor_.Url(), headers, &whyNot))
        Fail(kUpdateConnectFailed, whyNot);
}

void CDownloadSession::Fail(int code, std::string why) {
    busy_ = false;
    StopDeadline();
    CloseConnection();
    std::vector<char>().swap(body_);
    failure_ = std::move(why);
    if (!failure_.empty())
        WriteServiceLogFormat("[OstrelLib] Update download failed : %s (%s)", url_.c_str(),
                              failure_.c_str());
    // Last: the owner may destroy this session.
    if (owner_) owner_->OnSessionError(this, code);
}

void CDownloadSession::OnConnected(std::uint32_t) {
    contentLength_ = 0;
    if (owner_) owner_->OnSessionConnected(this);
}

void CDownloadSession::OnHeaderReceived(std::uint32_t) {
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    if (!layer) return;
    int status = 0;
    (void)layer->GetStatusCode(&status);  // 0 without a status line
    if (IsRedirectStatus(status)) {
        std::string location;
        (void)layer->GetUndecodedHeader("Location:", &location);  // "" is refused below
        if (cursor_.OnRedirect(status, FromUtf8(location)) !=
            CHttpExchangeCursor::Redirect::kFollow) {
            Fail(kUpdateBadResponse, cursor_.LastFailure());
            return;
        }
        CloseConnection();
        Request();
        return;
    }
    const bool partial = status == eNWHSC_HTTP_PARTIAL_CONTENT && rangeFrom_ > 0;
    if (status != eNWHSC_HTTP_OK && !partial) {
        Fail(kUpdateBadResponse, UnexpectedStatusText(status) + " for " + cursor_.Url());
        return;
    }
    const ResponseCheck check = CheckResponseBody(layer, BodyNeed::kLength);
    if (!check.ok) {
        Fail(kUpdateBadResponse, check.reason);
        return;
    }
    std::int64_t length = 0;
    (void)layer->GetContentLength(&length);  // 0 without a length
    if (length <= 0) {
        Fail(kUpdateBadResponse, "no length announced for " + cursor_.Url());
        return;
    }
    // The archive's whole length: a partial answer must continue exactly
    // where the kept bytes end.
    std::int64_t total = length;
    std::int64_t from = 0;
    if (partial) {
        std::string value;
        ContentRange range;
        if (vzFailed(layer->GetHeader("Content-Range", &value)) ||
            !ParseContentRange(value, &range) || range.first != rangeFrom_ ||
            range.last != rangeFrom_ + length - 1 || range.total != range.last + 1) {
            Fail(kUpdateBadResponse, "the server sent another range (" + value.substr(0, 64) + ")");
            return;
        }
        total = range.total;
        from = rangeFrom_;
    } else if (rangeFrom_ > 0) {
        WriteServiceLogFormat("[OstrelLib] %s ignored the range; fetching all of it",
                              cursor_.Url().c_str());
    }
    const std::int64_t cap = UpdateBodyCap(signatureStage_ ? kDownloadDigest : kind_);
    if (total > cap) {
        Fail(kUpdateBadResponse, "the body of " + std::to_string(total) +
                                     " bytes is over the cap of " + std::to_string(cap));
        return;
    }
    if (archive_ && !signatureStage_ && !archive_->Begin(from, total)) {
        Fail(kUpdateBadResponse, "the archive cannot be written to " + archive_->Path());
        return;
    }
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
}

std::int32_t CDownloadSession::OnBodyData(std::uint32_t, const void* data, std::int32_t length) {
    if (!connection_ || length <= 0 || contentLength_ <= 0) return length > 0 ? length : 0;
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

void CDownloadSession::OnComplete(std::uint32_t) {
    if (archive_ && !signatureStage_) {
        if (!connection_ || contentLength_ <= 0) return;
        CloseConnection();
        if (!archive_->Finish()) {
            Fail(kUpdateClosedEarly, "the archive did not arrive whole");
            return;
        }
        FinishArchive();
        return;
    }
    if (!connection_ || contentLength_ <= 0 ||
        static_cast<std::int64_t>(body_.size()) < contentLength_)
        return;
    CloseConnection();
    if (kind_ == kDownloadManifest && !signatureStage_ && ManifestSignatureRequired()) {
        // The manifest waits for its signature, fetched by the same rules.
        manifest_.swap(body_);
        std::vector<char>().swap(body_);
        signatureStage_ = true;
        contentLength_ = 0;
        cursor_.Reset(url_ + ".sig");
        StartDeadline(kSmallFetchDeadlineMs);
        Request();
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

void CDownloadSession::OnSendReady(std::uint32_t) {}

// Completion closes the connection first, so a close seen here means the
// body is missing or cut: the entry is settled as a failed try.
void CDownloadSession::OnClosed(std::uint32_t) {
    if (!busy_) return;
    Fail(kUpdateClosedEarly, contentLength_ > 0 ? "the connection closed inside the body"
                                                : "the connection closed before an answer");
}

void CDownloadSession::OnConnectFailed(std::uint32_t) {
    Fail(kUpdateConnectFailed, "the connection to " + cursor_.Url() + " failed");
}

void CDownloadSession::OnIdleTimeout(std::uint32_t) {
    Fail(kUpdateIdleTimeout, "the server stopped answering");
}

void CDownloadSession::OnHostUnreachable(std::uint32_t) {
    Fail(kUpdateHostUnreachable, "the host is unreachable");
}
