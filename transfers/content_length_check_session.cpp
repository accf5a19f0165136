#include "transfers/content_length_check_session.h"

#include "http/code_page.h"
#include "transfers/connection_recipe.h"

namespace {

constexpr int kStatusOk = 200;
constexpr int kStatusFound = 302;
constexpr int kStatusSeeOther = 303;

std::string TrimSpace(const std::string& text) {
    const char* space = " \t\r\n\v\f";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace

std::vector<std::string> SplitUrlAlternatives(const std::string& field) {
    std::vector<std::string> alternatives;
    std::size_t start = 0;
    while (start <= field.size()) {
        std::size_t bar = field.find('|', start);
        if (bar == std::string::npos) bar = field.size();
        std::string piece = TrimSpace(field.substr(start, bar - start));
        if (!piece.empty()) alternatives.push_back(std::move(piece));
        start = bar + 1;
    }
    if (alternatives.empty()) alternatives.emplace_back();
    return alternatives;
}

CContentLengthCheckSession::CContentLengthCheckSession(
    IContentLengthCheckSessionEventListener* owner, std::int32_t index, const std::string& urlField)
    : index_(index),
      field_(urlField),
      alternatives_(SplitUrlAlternatives(urlField)),
      owner_(owner) {}

CContentLengthCheckSession::~CContentLengthCheckSession() {
    Close();
}

void CContentLengthCheckSession::Close() {
    DropHttpConnection(connection_);
}

void CContentLengthCheckSession::Reset() {
    Close();
    attempts_ = 0;
    current_ = 0;
    redirect_.clear();
    length_ = 0;
}

bool CContentLengthCheckSession::NextAlternative() {
    if (current_ + 1 >= alternatives_.size()) return false;
    ++current_;
    attempts_ = 0;
    redirect_.clear();  // a redirect belongs to the mirror that sent it
    return true;
}

void CContentLengthCheckSession::Probe() {
    // A loop rather than recursion: a connection that cannot even be
    // created uses up the attempts at once.
    for (;;) {
        if (++attempts_ > kAttemptsPerUrl) {
            if (!NextAlternative()) {
                if (owner_) owner_->OnProbeFailed(index_, field_.c_str());
                return;
            }
            attempts_ = 1;
        }
        if (connection_) return;
        HttpConnectionSettings settings;
        settings.actionType = 1;
        settings.connectTimeoutSeconds = kConnectTimeoutSeconds;
        settings.idleTimeoutSeconds = kIdleTimeoutSeconds;
        const std::string& target = redirect_.empty() ? Url() : redirect_;
        if (OpenHttpConnection(connection_, settings, this, target)) return;
    }
}

void CContentLengthCheckSession::Retry() {
    Close();
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
    (void)layer->GetHeader("Location:", &location);
    // The head is all a size check needs; the body is never read.
    Close();
    if (status == kStatusOk) {
        length_ = length;
        if (owner_) owner_->OnLength(index_, length);
        return;
    }
    if (status == kStatusFound || status == kStatusSeeOther) redirect_ = FromUtf8(location);
    Probe();
}

std::int32_t CContentLengthCheckSession::OnBodyData(std::uint32_t, const void*,
                                                    std::int32_t length) {
    return length < 0 ? 0 : length;
}

void CContentLengthCheckSession::OnClosed(std::uint32_t) {
    Retry();
}
void CContentLengthCheckSession::OnConnectFailed(std::uint32_t) {
    Retry();
}
void CContentLengthCheckSession::OnIdleTimeout(std::uint32_t) {
    Retry();
}

void CContentLengthCheckSession::OnHostUnreachable(std::uint32_t) {
    Close();
    // A dead mirror is no reason to give up while another one is listed.
    if (NextAlternative()) {
        Probe();
        return;
    }
    if (owner_) owner_->OnProbeUnreachable(index_);
}

void CContentLengthCheckSession::OnConnected(std::uint32_t) {}
void CContentLengthCheckSession::OnComplete(std::uint32_t) {}
void CContentLengthCheckSession::OnSendReady(std::uint32_t) {}
