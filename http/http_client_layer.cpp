#include "http/http_client_layer.h"

#include <cstring>
#include <limits>

#include "http/split_url.h"
#include "http/uri_codec.h"
#include "platform/text.h"
#include "service/base/vz_smart_ptr.h"
#include "transport/host_cache.h"

namespace {

constexpr char kHeadEnd[] = "\r\n\r\n";

// The leading decimal digits of `text`; false when they overflow 64 bits.
bool LeadingNumber(const std::string& text, std::int64_t* value) {
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        int digit = c - '0';
        if (v > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

}  // namespace

nwCHttpClientExLayer::nwCHttpClientExLayer() {
    RegisterHandlers();
}

void nwCHttpClientExLayer::RegisterHandlers() {
    (void)Dispatcher().RegisterRawHandler(&nwCHttpClientExLayer::ReadResponse,
                                          this);  // the callback is never null
}

vzStatus nwCHttpClientExLayer::SetListener(nwIHttpClientExEventListener* listener,
                                           std::uint32_t value) {
    return StoreListener(listener, value);
}

vzStatus nwCHttpClientExLayer::Open(const char* url) {
    vzIQoSContext* owner = Owner();
    if (!url || !*url || !owner) return kLayerFail;
    std::string host, path;
    std::uint16_t port = 0;
    int scheme = 0;
    if (!SplitUrl(url, &host, &path, &port, &scheme)) return kLayerFail;
    if (scheme != kUrlSchemeHttp && scheme != kUrlSchemeHttps) return kLayerFail;
    std::uint32_t address = 0;
    if (host.empty() || !cpHostCache().Lookup(host, port, &address)) return kLayerFail;
    if (scheme == kUrlSchemeHttps &&
        vzFailed(owner->FindLayer(kClassSecureSocketClientLayer, nullptr))) {
        if (vzFailed(owner->AddLayer(kClassSecureSocketClientLayer, true))) return kLayerFail;
    }
    request_.SetRequestPath(path);
    request_.SetHeader("Host", host);
    (void)owner->RemoveFlags(kFlagAskForData);  // flags are plain bits
    (void)owner->SetHostName(host.c_str());     // the name is cut to what the cache takes
    cpSocketAddress peer{address, port};
    (void)owner->SetPeerAddress(peer);  // storing the address cannot fail
    // A connection that cannot connect was never usable: nothing is sent
    // and, as for every failure here, no event follows.
    if (vzFailed(owner->Connect(peer))) return kLayerFail;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::SetHeader(const char* name, const char* value) {
    if (!name || !*name || !value || !*value) return kLayerFail;
    return request_.SetHeader(name, value) ? kLayerOk : kLayerFail;
}

vzStatus nwCHttpClientExLayer::SetParameter(const char* name, const char* value) {
    if (!name || !value || !*value) return kLayerFail;
    return request_.SetParameter(name, value) ? kLayerOk : kLayerFail;
}

vzStatus nwCHttpClientExLayer::GetStatusCode(int* code) {
    std::int64_t status = 0;
    if (headParsed_ && !response_.empty()) LeadingNumber(response_.front().second, &status);
    if (code) *code = status > 999 ? 0 : static_cast<int>(status);
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetContentLength(std::int64_t* length) {
    if (length) *length = contentLength_;
    return kLayerOk;
}

const nwCHttpClientExLayer::Record* nwCHttpClientExLayer::FindRecord(
    const std::string& name) const {
    std::string wanted = plat::AsciiLower(name);
    for (const Record& record : response_) {
        if (plat::AsciiLower(record.first).compare(0, wanted.size(), wanted) == 0) return &record;
    }
    return nullptr;
}

vzStatus nwCHttpClientExLayer::GetHeader(const char* name, std::string* value) {
    if (!name || !*name) return kLayerFail;
    const Record* record = FindRecord(name);
    if (!record) return kLayerFail;
    if (value) *value = record->second;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetRawHeader(std::string* head) {
    if (rawHead_.empty()) return kLayerFail;
    if (head) *head = rawHead_;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::SendText(const std::string& text) {
    return vzSucceeded(SendDown(cpBuffer{text.data(), static_cast<std::uint32_t>(text.size())}))
               ? kLayerOk
               : kLayerFail;
}

vzStatus nwCHttpClientExLayer::Get() {
    request_.SetHeader("GET", request_.RequestPath());
    if (requested_) return kLayerOk;  // one request per layer
    requested_ = true;
    builder_ = request_.MakeBuilder(kHttpBuilderGet);
    if (!builder_) return kLayerFail;
    std::string text;
    builder_->Build(&text);
    return SendText(text);
}

vzStatus nwCHttpClientExLayer::Post(std::int64_t bodyLength) {
    uploadLength_ = bodyLength;
    uploadAnnounced_ = true;
    request_.SetHeader("POST", request_.RequestPath());
    request_.SetBodyLength(bodyLength);
    if (builder_) builder_->SetBodyLength(bodyLength);
    requested_ = true;
    builder_ = request_.MakeBuilder(kHttpBuilderPost);
    if (!builder_) return kLayerFail;
    std::string text;
    builder_->Build(&text);
    if (Owner()) (void)Owner()->AddFlags(kFlagAskForData);  // flags are plain bits
    return SendText(text);
}

vzStatus nwCHttpClientExLayer::SendBody(const void* data, std::uint32_t length) {
    if (!data) return kLayerFail;
    uploadSent_ += length;
    return vzSucceeded(SendDown(cpBuffer{data, length})) ? kLayerOk : kLayerFail;
}

bool nwCHttpClientExLayer::OnSendQueueEmptyEvent() {
    if (uploadAnnounced_ && uploadSent_ >= uploadLength_) {
        if (!trailerSent_ && builder_) {
            std::string trailer;
            builder_->BuildTrailer(&trailer);
            if (!trailer.empty()) {
                trailerSent_ = true;
                if (Owner()) (void)Owner()->RemoveFlags(kFlagAskForData);  // flags are plain bits
                // Fails only once the layer has no connection.
                (void)SendText(trailer);
            }
        }
    } else if (auto* listener = Listener()) {
        listener->OnSendReady(ListenerValue());
    }
    return true;
}

bool nwCHttpClientExLayer::OnConnected() {
    if (auto* listener = Listener()) listener->OnConnected(ListenerValue());
    return true;
}

bool nwCHttpClientExLayer::OnUnreachable() {
    if (auto* listener = Listener()) listener->OnHostUnreachable(ListenerValue());
    return true;
}

void nwCHttpClientExLayer::OnClosed() {
    auto* listener = Listener();
    std::uint32_t value = ListenerValue();
    (void)StoreListener(nullptr, 0);  // storing the listener cannot fail
    if (listener) listener->OnClosed(value);
    // The listener has had its last word. A closed connection can wait for
    // seconds in the deferred-release collector, so what only served the
    // exchange goes now: thousands of short downloads would otherwise keep
    // every head they ever received.
    std::vector<Record>().swap(response_);
    std::string().swap(rawHead_);
    request_ = nwCHttpRequestDraft();
    builder_.reset();
}

bool nwCHttpClientExLayer::OnConnectFailedEvent() {
    if (auto* listener = Listener()) listener->OnConnectFailed(ListenerValue());
    return true;
}

bool nwCHttpClientExLayer::OnIdleTimeoutEvent() {
    if (auto* listener = Listener()) listener->OnIdleTimeout(ListenerValue());
    return true;
}

std::int32_t nwCHttpClientExLayer::ReadResponse(const void* data, std::int32_t length, void* self) {
    return static_cast<nwCHttpClientExLayer*>(self)->Read(static_cast<const char*>(data), length);
}

std::int32_t nwCHttpClientExLayer::Read(const char* data, std::int32_t length) {
    if (!headParsed_) {
        if (length < 4) return 0;
        std::string_view buffered(data, static_cast<std::size_t>(length));
        std::size_t end = buffered.find(kHeadEnd);
        if (end == std::string_view::npos) {
            // A head that never ends must not grow the buffer without bound.
            return buffered.size() > kMaxHead ? -1 : 0;
        }
        if (end + 4 > kMaxHead) return -1;
        headParsed_ = true;
        if (!ParseHead(data, end + 4)) return -1;
        if (auto* listener = Listener()) listener->OnHeaderReceived(ListenerValue());
        return static_cast<std::int32_t>(end + 4);
    }
    auto* listener = Listener();
    if (!listener) return 0;
    std::uint32_t value = ListenerValue();
    std::int32_t consumed = listener->OnBodyData(value, data, length);
    if (consumed < 0 || consumed > length) return -1;
    delivered_ += consumed;
    if (contentLength_ > 0 && delivered_ >= contentLength_ && consumed > 0) {
        if (auto* still = Listener()) still->OnComplete(ListenerValue());
    }
    return consumed;
}

bool nwCHttpClientExLayer::ParseHead(const char* head, std::size_t length) {
    rawHead_.assign(head, length);
    std::size_t start = 0;
    while (start < rawHead_.size()) {
        std::size_t lf = rawHead_.find('\n', start);
        if (lf == std::string::npos) break;  // text after the last LF is ignored
        std::string line;
        for (std::size_t i = start; i < lf; ++i)
            if (rawHead_[i] != '\r') line.push_back(rawHead_[i]);
        start = lf + 1;
        std::size_t space = line.find(' ');
        if (line.empty() || space == std::string::npos) continue;
        std::string value = line.substr(space + 1);
        DecodeText(&value);
        response_.emplace_back(line.substr(0, space), std::move(value));
    }
    // Every Content-Length must agree and fit: a wrong length would end a
    // body early or let it run past what was announced.
    bool seen = false;
    for (const Record& record : response_) {
        if (plat::AsciiLower(record.first).rfind("content-length", 0) != 0) continue;
        std::int64_t length64 = 0;
        if (!LeadingNumber(record.second, &length64)) return false;
        if (seen && length64 != contentLength_) return false;
        if (!seen) contentLength_ = length64;
        seen = true;
    }
    return true;
}
