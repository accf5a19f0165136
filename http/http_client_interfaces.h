// The HTTP client layer's own interface and the listener every HTTP client
// object implements. A layer carries one request and its response at a
// time; once a response was read to its exact end, the layer (with its
// connection) may take up the next request to the same server (Reuse).
//
// Every listener event passes back the listener value given to SetListener
// and runs on the service worker thread with the service lock held. A
// listener may call back into the layer and its connection from inside an
// event (SendBody from OnSendReady, Close from OnComplete).
#pragma once

#include <cstdint>
#include <string>

#include "service/base/vz_unknown.h"

struct HttpRoute;

class nwIHttpClientExEventListener {
public:
    // The TCP connection is up (for HTTPS the handshake still runs and the
    // request waits in the TLS layer until it is done).
    virtual void OnConnected(std::uint32_t value) = 0;
    // The response head was parsed: status and headers can be read.
    virtual void OnHeaderReceived(std::uint32_t value) = 0;
    // Body bytes; returns how many were consumed. The rest stays buffered and
    // comes again with newer bytes behind it. Negative closes the connection.
    virtual std::int32_t OnBodyData(std::uint32_t value, const void* data, std::int32_t length) = 0;
    // The consumed body reached the response's Content-Length (when above
    // 0), or the last chunk of a chunked body that the listener accepted.
    virtual void OnComplete(std::uint32_t value) = 0;
    // The send queue ran dry: an announced upload wants more body data.
    virtual void OnSendReady(std::uint32_t value) = 0;
    // The connection was shut down; nothing follows.
    virtual void OnClosed(std::uint32_t value) = 0;
    // Refused, unreachable or timed out (only with connection flag 1).
    virtual void OnConnectFailed(std::uint32_t value) = 0;
    virtual void OnIdleTimeout(std::uint32_t value) = 0;
    virtual void OnHostUnreachable(std::uint32_t value) = 0;

protected:
    ~nwIHttpClientExEventListener() = default;
};

class vzIHttpClientExLayer : public vzIUnknown {
public:
    virtual vzStatus SetListener(nwIHttpClientExEventListener* listener, std::uint32_t value) = 0;
    // Splits the URL, finds an address, stacks TLS for "https://" and
    // connects. kLayerFail, with nothing sent and no event to follow, for a
    // bad URL, an unknown scheme or a host without an address.
    virtual vzStatus Open(const char* url) = 0;
    virtual vzStatus SetHeader(const char* name, const char* value) = 0;
    virtual vzStatus SetParameter(const char* name, const char* value) = 0;
    virtual vzStatus GetStatusCode(int* code) = 0;
    virtual vzStatus GetContentLength(std::int64_t* length) = 0;
    // The first response header whose name begins with `name` (any case),
    // its value percent-decoded.
    virtual vzStatus GetHeader(const char* name, std::string* value) = 0;
    virtual vzStatus GetRawHeader(std::string* head) = 0;
    virtual vzStatus Get() = 0;
    virtual vzStatus Post(std::int64_t bodyLength) = 0;
    virtual vzStatus SendBody(const void* data, std::uint32_t length) = 0;

    // How the response body is framed (an HttpBodyFraming value,
    // http/http_response_head.h); kUntilClose before a head arrived.
    virtual vzStatus GetBodyFraming(int* framing) = 0;
    // Lets a chunked body through, decoded. Without it a chunked body is
    // never delivered: the connection closes after the head.
    virtual vzStatus AcceptChunkedBody() = 0;
    // Whether the response was read to its exact end (a length or chunked
    // body complete, or no body) with nothing surplus after it, and the
    // server did not ask to close: the state in which a connection could
    // carry another exchange.
    virtual vzStatus GetResponseComplete(bool* complete, bool* reusable) = 0;
    // GetHeader's record with its value as sent, not percent-decoded (the
    // Location of a redirect is resolved from this).
    virtual vzStatus GetUndecodedHeader(const char* name, std::string* value) = 0;

    // The server the layer was opened to, as UrlOrigin (http/split_url.h)
    // gives it; kLayerFail before Open.
    virtual vzStatus GetOrigin(std::string* origin) = 0;
    // Takes up a new exchange on the open connection, instead of Open: the
    // last exchange is forgotten (head, body state, request headers) and the
    // request goes to `url`, which must be for the same origin. Headers and
    // Get follow as after Open; no OnConnected comes, the connection being
    // up already. kLayerFail, changing nothing, for another origin or a
    // connection that has closed.
    virtual vzStatus Reuse(const char* url) = 0;
    // For a listener that leaves before the body's end: when the response
    // has a Content-Length, no close was asked, and at most `limit` bytes
    // of it are still to come, the layer reads and drops them, so that the
    // connection ends up fit for another exchange (GetResponseComplete).
    // kLayerFail when it will not.
    virtual vzStatus DrainForReuse(std::int64_t limit) = 0;
    // Why the layer refused the response it was reading and closed the
    // connection (a malformed head, a body framing it cannot read); ""
    // when it did not. Still there while the listener hears OnClosed.
    virtual vzStatus GetRefusal(std::string* why) = 0;
    // Open and Reuse along a route decided by the caller (a proxy, a
    // tunnel; http/http_route.h). Open(url) and Reuse(url) are these with
    // the direct route. Reuse compares the route's pool key with the one the
    // connection was opened with.
    virtual vzStatus OpenRoute(const HttpRoute& route) = 0;
    virtual vzStatus ReuseRoute(const HttpRoute& route) = 0;
};
