// Turns a set of request headers and query parameters into the bytes of an
// HTTP/1.1 request head. The HTTP client layer creates one builder per
// request with Create, copies its headers, parameters and body length in,
// and calls Build once; for an upload it later calls BuildTrailer.
//
// Header and parameter names are matched case-insensitively here. The
// request path travels as a header named after the method ("GET" or
// "POST"); giving it a query moves the query's pieces into the parameters.
//
// Build marks headers as emitted, so a builder builds one request only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_request_records.h"

inline constexpr int kHttpBuilderGet = 1;
inline constexpr int kHttpBuilderPost = 2;

class nwCHttpRequestHeaderBuilder {
public:
    // A GET builder for kHttpBuilderGet, a POST builder for kHttpBuilderPost,
    // null for anything else.
    static std::unique_ptr<nwCHttpRequestHeaderBuilder> Create(int type);

    nwCHttpRequestHeaderBuilder() = default;
    nwCHttpRequestHeaderBuilder(const nwCHttpRequestHeaderBuilder&) = delete;
    nwCHttpRequestHeaderBuilder& operator=(const nwCHttpRequestHeaderBuilder&) = delete;
    virtual ~nwCHttpRequestHeaderBuilder() = default;

    // Replaces `request` with the request head (and, for POST, the opening
    // of the multipart body).
    virtual void Build(std::string* request) = 0;
    // Replaces `trailer` with what follows the body; empty when nothing does.
    virtual void BuildTrailer(std::string* trailer) = 0;

    void SetHeader(std::string_view name, std::string_view value);
    void SetParameter(std::string_view name, std::string_view value);
    // The record stays valid until the next SetHeader or SetParameter.
    HttpHeaderRecord* FindHeader(std::string_view name);
    HttpParameterRecord* FindParameter(std::string_view name);

    void SetBodyLength(std::int64_t length) { bodyLength_ = length; }
    // Written before the target on the request line (the scheme and
    // authority of the absolute form, for a forward proxy).
    void SetTargetPrefix(std::string_view prefix) { targetPrefix_.assign(prefix); }
    std::int64_t BodyLength() const { return bodyLength_; }
    const std::vector<HttpHeaderRecord>& Headers() const { return headers_; }
    const std::vector<HttpParameterRecord>& Parameters() const { return parameters_; }

    // The Referer sent when the caller gives none: the maker's peer-delivery
    // web service, whose host is fixed at build time.
    static std::string DefaultReferer();

protected:
    // Appends "<method> <target> HTTP/1.1" CRLF.
    void AddRequestLine(std::string* text, std::string_view method);
    // Appends the caller's header under `name` (value as given) when there is
    // one, else `fallback` unless it is empty.
    void AddStandardHeader(std::string* text, std::string_view name, std::string_view fallback);
    // Appends every header not yet written, values percent-encoded except a
    // "Cookie" and a "Proxy-Authorization", whose syntax the other end must
    // see unchanged.
    void AddRemainingHeaders(std::string* text);

private:
    std::string RequestTarget();

    std::vector<HttpHeaderRecord> headers_;
    std::vector<HttpParameterRecord> parameters_;
    std::int64_t bodyLength_ = 0;
    std::string targetPrefix_;
};
