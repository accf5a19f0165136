#include "http/http_client_layer.h"

#include <cstring>
#include <limits>

#include "http/http_route.h"
#include "http/proxy_tunnel_interfaces.h"
#include "http/split_url.h"
#include "service/base/vz_smart_ptr.h"
#include "transport/host_cache.h"

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
    HttpRoute route;
    if (!url || !*url || !DirectRoute(url, &route)) return kLayerFail;
    return OpenRoute(route);
}

vzStatus nwCHttpClientExLayer::OpenRoute(const HttpRoute& route) {
    vzIQoSContext* owner = Owner();
    if (!owner || route.connectHost.empty()) return kLayerFail;
    origin_ = route.poolKey;
    std::uint32_t address = 0;
    if (!cpHostCache().Lookup(route.connectHost, route.connectPort, &address)) return kLayerFail;
    if (route.tls && vzFailed(owner->FindLayer(kClassSecureSocketClientLayer, nullptr))) {
        if (vzFailed(owner->AddLayer(kClassSecureSocketClientLayer, true))) return kLayerFail;
    }
    if (!route.tunnelTarget.empty()) {
        // Below TLS: the proxy is asked for a tunnel, and TLS begins once it
        // stands.
        if (vzFailed(owner->AddLayer(kClassProxyTunnelLayer, true))) return kLayerFail;
        vzIUnknown* tunnel = nullptr;
        if (vzFailed(owner->FindLayer(kClassProxyTunnelLayer, &tunnel)) || !tunnel) return kLayerFail;
        if (vzFailed(static_cast<vzIProxyTunnelLayer*>(tunnel)->SetTunnel(
                route.tunnelTarget.c_str(), route.proxyAuthorization.c_str(),
                route.proxyLabel.c_str())))
            return kLayerFail;
    }
    ApplyRoute(route);
    (void)owner->RemoveFlags(kFlagAskForData);  // flags are plain bits
    // The origin's name: the TLS layer checks the certificate against it.
    (void)owner->SetHostName(route.tlsName.c_str());  // cut to what the cache takes
    cpSocketAddress peer{address, route.connectPort};
    (void)owner->SetPeerAddress(peer);  // storing the address cannot fail
    // A connection that cannot connect was never usable: nothing is sent
    // and, as for every failure here, no event follows.
    if (vzFailed(owner->Connect(peer))) return kLayerFail;
    return kLayerOk;
}

void nwCHttpClientExLayer::ApplyRoute(const HttpRoute& route) {
    std::string path = route.requestTarget;
    std::string prefix;
    // The absolute form to a forward proxy: its scheme and authority go
    // before the path, which the builder encodes as for an origin.
    if (const std::size_t scheme = path.find("://"); scheme != std::string::npos) {
        const std::size_t slash = path.find('/', scheme + 3);
        prefix = path.substr(0, slash);
        path = slash == std::string::npos ? std::string() : path.substr(slash);
    }
    request_.SetTargetPrefix(prefix);
    request_.SetRequestPath(path);
    request_.SetHeader("Host", route.hostHeader);
    // Only a forward proxy reads this: a tunnel's credentials went with the
    // CONNECT, and an origin must never see them.
    if (!prefix.empty() && !route.proxyAuthorization.empty())
        request_.SetHeader("Proxy-Authorization", route.proxyAuthorization);
}

vzStatus nwCHttpClientExLayer::GetOrigin(std::string* origin) {
    if (origin_.empty()) return kLayerFail;
    if (origin) *origin = origin_;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::Reuse(const char* url) {
    HttpRoute route;
    if (!url || !DirectRoute(url, &route)) return kLayerFail;
    return ReuseRoute(route);
}

vzStatus nwCHttpClientExLayer::ReuseRoute(const HttpRoute& route) {
    vzIQoSContext* owner = Owner();
    if (!owner || origin_.empty() || Dispatcher().IsStopped() || route.poolKey != origin_)
        return kLayerFail;
    ForgetExchange();
    // The same calls as Open makes, in the same order: the request's bytes
    // are those a new connection would send.
    ApplyRoute(route);
    (void)owner->RemoveFlags(kFlagAskForData);  // flags are plain bits
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetRefusal(std::string* why) {
    if (why) *why = refusal_;
    return kLayerOk;
}

std::int32_t nwCHttpClientExLayer::Refuse(std::string why) {
    refusal_ = std::move(why);
    return -1;
}

vzStatus nwCHttpClientExLayer::DrainForReuse(std::int64_t limit) {
    if (!headParsed_ || complete_ || surplus_ || head_.CloseRequested() ||
        head_.Framing() != HttpBodyFraming::kLength || Dispatcher().IsStopped())
        return kLayerFail;
    if (head_.ContentLength() - delivered_ > limit) return kLayerFail;
    draining_ = true;
    return kLayerOk;
}

void nwCHttpClientExLayer::ForgetExchange() {
    refusal_.clear();
    request_ = nwCHttpRequestDraft();
    builder_.reset();
    head_ = HttpResponseHead();
    chunked_.reset();
    requested_ = headParsed_ = trailerSent_ = acceptChunked_ = false;
    complete_ = surplus_ = draining_ = false;
    interimHeads_ = 0;
    delivered_ = uploadLength_ = uploadSent_ = 0;
    uploadAnnounced_ = false;
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
    if (code) *code = headParsed_ ? head_.StatusCode() : 0;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetContentLength(std::int64_t* length) {
    if (length) *length = headParsed_ ? head_.ContentLength() : 0;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetHeader(const char* name, std::string* value) {
    if (!name || !*name || !headParsed_) return kLayerFail;
    const HttpResponseHead::Record* record = head_.Find(name);
    if (!record) return kLayerFail;
    if (value) *value = record->second;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetUndecodedHeader(const char* name, std::string* value) {
    if (!name || !*name || !headParsed_) return kLayerFail;
    const std::string* found = head_.FindUndecoded(name);
    if (!found) return kLayerFail;
    if (value) *value = *found;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetRawHeader(std::string* head) {
    if (!headParsed_ || head_.Raw().empty()) return kLayerFail;
    if (head) *head = head_.Raw();
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetBodyFraming(int* framing) {
    if (!framing) return kLayerFail;
    *framing = static_cast<int>(headParsed_ ? head_.Framing() : HttpBodyFraming::kUntilClose);
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::AcceptChunkedBody() {
    acceptChunked_ = true;
    return kLayerOk;
}

vzStatus nwCHttpClientExLayer::GetResponseComplete(bool* complete, bool* reusable) {
    if (complete) *complete = complete_;
    if (reusable) *reusable = complete_ && !surplus_ && !head_.CloseRequested();
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
    head_ = HttpResponseHead();
    headParsed_ = false;
    chunked_.reset();
    request_ = nwCHttpRequestDraft();
    builder_.reset();
    draining_ = false;
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
    return headParsed_ ? ReadBody(data, length) : ReadHead(data, length);
}

std::int32_t nwCHttpClientExLayer::ReadHead(const char* data, std::int32_t length) {
    std::size_t headLength = 0;
    std::size_t skipped = 0;
    const std::string_view buffered(data, static_cast<std::size_t>(length));
    switch (HttpResponseHead::FindEnd(buffered, &headLength, &skipped)) {
        case HttpResponseHead::Scan::kIncomplete:
            return 0;
        case HttpResponseHead::Scan::kTooLong:
            // A head that never ends must not grow the buffer without bound.
            return Refuse("a response head longer than 64 KiB");
        case HttpResponseHead::Scan::kComplete:
            break;
    }
    if (!head_.Parse(buffered.substr(skipped, headLength)))
        return Refuse("a malformed response head (" + head_.Refusal() + ")");
    const auto used = static_cast<std::int32_t>(skipped + headLength);
    if (head_.IsInterim()) {
        // "100 Continue" and its kind come before the real answer.
        if (++interimHeads_ > kMaxInterimHeads) return Refuse("too many interim responses");
        head_ = HttpResponseHead();
        return used;
    }
    headParsed_ = true;
    if (head_.Framing() == HttpBodyFraming::kNone) {
        complete_ = true;
        // Bytes behind a response without a body belong to no response.
        surplus_ = used < length;
    }
    if (head_.Framing() == HttpBodyFraming::kChunked) chunked_ = std::make_unique<ChunkedBodyReader>();
    if (auto* listener = Listener()) listener->OnHeaderReceived(ListenerValue());
    return used;
}

void nwCHttpClientExLayer::Complete() {
    complete_ = true;
    if (auto* listener = Listener()) listener->OnComplete(ListenerValue());
}

std::int32_t nwCHttpClientExLayer::ReadBody(const char* data, std::int32_t length) {
    switch (head_.Framing()) {
        case HttpBodyFraming::kNone:
            // Nothing belongs to this response; bytes after it are the
            // server's error and are thrown away (and close a connection
            // nobody listens to any more).
            surplus_ = true;
            return Listener() ? length : -1;
        case HttpBodyFraming::kUnsupported:
            // An encoding the layer cannot undo is never handed on as data.
            return Refuse("a transfer coding other than chunked");
        case HttpBodyFraming::kChunked:
            return ReadChunked(data, length);
        case HttpBodyFraming::kLength:
        case HttpBodyFraming::kUntilClose:
            break;
    }
    auto* listener = Listener();
    if (!listener && !draining_) return 0;
    std::int32_t offer = length;
    if (head_.Framing() == HttpBodyFraming::kLength) {
        const std::int64_t remaining = head_.ContentLength() - delivered_;
        if (remaining <= 0) {
            // Past the announced length: never the body's bytes.
            surplus_ = true;
            return listener ? length : -1;
        }
        if (remaining < offer) offer = static_cast<std::int32_t>(remaining);
    }
    // A drained body goes nowhere.
    std::int32_t consumed = listener ? listener->OnBodyData(ListenerValue(), data, offer) : offer;
    if (consumed < 0 || consumed > offer) return -1;
    delivered_ += consumed;
    if (head_.Framing() == HttpBodyFraming::kLength && consumed > 0 &&
        delivered_ == head_.ContentLength()) {
        // Known before the listener hears of the end, for it may hand the
        // connection on from there: what came behind the body is surplus.
        if (consumed == offer && offer < length) surplus_ = true;
        Complete();
    }
    return consumed;
}

std::int32_t nwCHttpClientExLayer::ReadChunked(const char* data, std::int32_t length) {
    if (!acceptChunked_ || !chunked_) return -1;
    if (chunked_->Done()) {
        surplus_ = true;
        return Listener() ? length : -1;
    }
    // The listener may close the connection from inside OnBodyData, and the
    // close (OnClosed) lets go of what served the exchange while the reader
    // is still in the middle of its Read: it is held here until Read has
    // returned, and given back only to a layer that is still open.
    std::unique_ptr<ChunkedBodyReader> reader = std::move(chunked_);
    bool listenerGone = false;
    bool refused = false;
    auto sink = [&](std::string_view piece) -> std::size_t {
        auto* listener = Listener();
        if (!listener) {
            listenerGone = true;
            return 0;
        }
        std::int32_t consumed =
            listener->OnBodyData(ListenerValue(), piece.data(), static_cast<std::int32_t>(piece.size()));
        if (consumed < 0 || static_cast<std::size_t>(consumed) > piece.size()) {
            refused = true;  // as for a length body: the connection closes
            return 0;
        }
        delivered_ += consumed;
        return static_cast<std::size_t>(consumed);
    };
    std::size_t used = 0;
    ChunkedBodyReader::Result result =
        reader->Read(std::string_view(data, static_cast<std::size_t>(length)), sink, &used);
    if (!Dispatcher().IsStopped()) chunked_ = std::move(reader);
    if (result == ChunkedBodyReader::Result::kMalformed) return Refuse("a malformed chunked body");
    if (refused) return -1;
    // A listener that closed the connection inside its data ended the
    // exchange there: the framing read after that completes nothing.
    if (Dispatcher().IsStopped()) return static_cast<std::int32_t>(used);
    if (result == ChunkedBodyReader::Result::kDone) {
        if (used < static_cast<std::size_t>(length)) surplus_ = true;
        Complete();
    }
    if (listenerGone && result == ChunkedBodyReader::Result::kBlocked && used == 0) return 0;
    return static_cast<std::int32_t>(used);
}
