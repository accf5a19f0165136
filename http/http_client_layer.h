// nwCHttpClientExLayer: HTTP/1.1 client on one connection. It sends one GET
// or multipart POST, parses the response head (http/http_response_head.h),
// hands the body to its listener piece by piece and reports completion,
// time-outs and failures.
//
// The body is delivered exactly as framed: with a Content-Length, at most
// that many bytes reach the listener, whatever the server sends after them
// (surplus bytes are dropped, and the connection is then not fit for
// another exchange); a body that ends short never completes. A chunked body
// is decoded for a listener that accepted it (AcceptChunkedBody) and refused
// otherwise; a body in any other transfer coding is never delivered. No
// content coding is interpreted: the exchange policy of the sessions
// refuses a response whose Content-Encoding is not identity. Interim 1xx
// heads are skipped (at most kMaxInterimHeads).
//
// After a response read to its exact end (GetResponseComplete), Reuse
// starts the next exchange on the same connection; until then, bytes the
// server sends beyond the response are surplus and unfit the connection for
// reuse, and with no listener left they close it.
//
// A response the layer cannot use closes the connection (the listener sees
// OnClosed without OnHeaderReceived): a head longer than 64 KiB, no status
// line, or Content-Length values that are not digits, overflow or disagree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/chunked_body_reader.h"
#include "http/http_client_interfaces.h"
#include "http/http_request_draft.h"
#include "http/http_response_head.h"
#include "transport/application_stack.h"

class nwCHttpClientExLayer final
    : public nwCLayer<vzIHttpClientExLayer, nwIHttpClientExEventListener> {
public:
    static constexpr std::size_t kMaxHead = HttpResponseHead::kMaxHead;
    static constexpr int kMaxInterimHeads = 8;

    nwCHttpClientExLayer();

    // vzIHttpClientExLayer
    vzStatus SetListener(nwIHttpClientExEventListener* listener, std::uint32_t value) override;
    vzStatus Open(const char* url) override;
    vzStatus SetHeader(const char* name, const char* value) override;
    vzStatus SetParameter(const char* name, const char* value) override;
    vzStatus GetStatusCode(int* code) override;
    vzStatus GetContentLength(std::int64_t* length) override;
    vzStatus GetHeader(const char* name, std::string* value) override;
    vzStatus GetRawHeader(std::string* head) override;
    vzStatus Get() override;
    vzStatus Post(std::int64_t bodyLength) override;
    vzStatus SendBody(const void* data, std::uint32_t length) override;
    vzStatus GetBodyFraming(int* framing) override;
    vzStatus AcceptChunkedBody() override;
    vzStatus GetResponseComplete(bool* complete, bool* reusable) override;
    vzStatus GetUndecodedHeader(const char* name, std::string* value) override;
    vzStatus GetOrigin(std::string* origin) override;
    vzStatus Reuse(const char* url) override;
    vzStatus DrainForReuse(std::int64_t limit) override;
    vzStatus GetRefusal(std::string* why) override;
    vzStatus OpenRoute(const HttpRoute& route) override;
    vzStatus ReuseRoute(const HttpRoute& route) override;

    // nwIQoSNetStack, per layer
    bool OnConnected() override;
    bool OnUnreachable() override;
    void OnClosed() override;
    bool OnConnectFailedEvent() override;
    bool OnSendQueueEmptyEvent() override;
    bool OnIdleTimeoutEvent() override;
    void RegisterHandlers() override;

private:
    static std::int32_t ReadResponse(const void* data, std::int32_t length, void* self);
    std::int32_t Read(const char* data, std::int32_t length);
    std::int32_t ReadHead(const char* data, std::int32_t length);
    // The request target, Host and proxy credentials of a route.
    void ApplyRoute(const HttpRoute& route);
    // Notes why the response is refused; answers -1, which closes.
    std::int32_t Refuse(std::string why);
    std::int32_t ReadBody(const char* data, std::int32_t length);
    std::int32_t ReadChunked(const char* data, std::int32_t length);
    void Complete();
    // Forgets everything of the exchange: the state of a new layer.
    void ForgetExchange();
    vzStatus SendText(const std::string& text);

    nwCHttpRequestDraft request_;
    std::unique_ptr<nwCHttpRequestHeaderBuilder> builder_;
    HttpResponseHead head_;
    std::unique_ptr<ChunkedBodyReader> chunked_;
    bool requested_ = false;
    bool headParsed_ = false;
    bool trailerSent_ = false;
    bool acceptChunked_ = false;
    bool complete_ = false;
    bool surplus_ = false;
    int interimHeads_ = 0;
    std::int64_t delivered_ = 0;
    std::int64_t uploadLength_ = 0;
    std::int64_t uploadSent_ = 0;
    bool uploadAnnounced_ = false;
    bool draining_ = false;
    std::string origin_;   // the route's pool key, set by Open, kept for the connection's life
    std::string refusal_;  // why the last response was refused
};
