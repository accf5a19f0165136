// nwCHttpClientExLayer: HTTP/1.1 client on one connection. It sends one GET
// or multipart POST, parses the response head, hands the body to its
// listener piece by piece and reports completion, time-outs and failures.
//
// The body is passed on exactly as it arrives: no transfer or content
// encoding is interpreted, and without a Content-Length there is no
// OnComplete (the end shows as OnClosed or OnIdleTimeout).
//
// A response the layer cannot use closes the connection (the listener sees
// OnClosed without OnHeaderReceived): a head longer than 64 KiB, or a
// Content-Length that overflows 64 bits or is given twice with different
// values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/http_client_interfaces.h"
#include "http/http_request_draft.h"
#include "transport/application_stack.h"

class nwCHttpClientExLayer final
    : public nwCLayer<vzIHttpClientExLayer, nwIHttpClientExEventListener> {
public:
    static constexpr std::size_t kMaxHead = 64 * 1024;

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

    // nwIQoSNetStack, per layer
    bool OnConnected() override;
    bool OnUnreachable() override;
    void OnClosed() override;
    bool OnConnectFailedEvent() override;
    bool OnSendQueueEmptyEvent() override;
    bool OnIdleTimeoutEvent() override;
    void RegisterHandlers() override;

private:
    using Record = std::pair<std::string, std::string>;

    static std::int32_t ReadResponse(const void* data, std::int32_t length, void* self);
    std::int32_t Read(const char* data, std::int32_t length);
    // Parses the head; false when the response is unusable.
    bool ParseHead(const char* head, std::size_t length);
    const Record* FindRecord(const std::string& name) const;
    vzStatus SendText(const std::string& text);

    nwCHttpRequestDraft request_;
    std::unique_ptr<nwCHttpRequestHeaderBuilder> builder_;
    std::vector<Record> response_;
    std::string rawHead_;
    bool requested_ = false;
    bool headParsed_ = false;
    bool trailerSent_ = false;
    std::int64_t contentLength_ = 0;
    std::int64_t delivered_ = 0;
    std::int64_t uploadLength_ = 0;
    std::int64_t uploadSent_ = 0;
    bool uploadAnnounced_ = false;
};
