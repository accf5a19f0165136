// What the HTTP client layer knows about its request until it sends it:
// headers, query parameters, the path of the opened URL and the body length
// of an upload. The layer owns one per connection and turns it into a
// builder, filled in, when it sends.
//
// Setting a header or parameter replaces the first record whose stored name
// begins with the given name, compared byte for byte: so "Accept" set after
// "Accept-Language" overwrites the latter's value and keeps its name. Callers
// of the layer have always seen this, so it stays.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_request_header_builder.h"
#include "http/http_request_records.h"

class nwCHttpRequestDraft {
public:
    // Both refuse an empty name, which would otherwise match any record.
    bool SetHeader(std::string_view name, std::string_view value);
    bool SetParameter(std::string_view name, std::string_view value);

    void SetRequestPath(std::string_view path) { requestPath_.assign(path); }
    const std::string& RequestPath() const { return requestPath_; }
    // What goes before the path on the request line: "" for an origin
    // server, "http://host:port" for a forward proxy (the absolute form).
    void SetTargetPrefix(std::string_view prefix) { targetPrefix_.assign(prefix); }
    const std::string& TargetPrefix() const { return targetPrefix_; }
    void SetBodyLength(std::int64_t length) { bodyLength_ = length; }
    std::int64_t BodyLength() const { return bodyLength_; }

    const std::vector<HttpHeaderRecord>& Headers() const { return headers_; }
    const std::vector<HttpParameterRecord>& Parameters() const { return parameters_; }

    // A builder of `type` (kHttpBuilderGet or kHttpBuilderPost) holding every
    // header, then every parameter, then the body length; null for another
    // type. The caller owns it and calls Build.
    std::unique_ptr<nwCHttpRequestHeaderBuilder> MakeBuilder(int type) const;

private:
    std::vector<HttpHeaderRecord> headers_;
    std::vector<HttpParameterRecord> parameters_;
    std::string requestPath_;
    std::string targetPrefix_;
    std::int64_t bodyLength_ = 0;
};
