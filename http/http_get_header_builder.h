// The GET request head: request line, the fixed headers in the order peers
// have always seen them, the caller's other headers, and the empty line.
#pragma once

#include "http/http_request_header_builder.h"

class nwCHttpGETHeaderBuilder : public nwCHttpRequestHeaderBuilder {
public:
    void Build(std::string* request) override;
    // A GET has no body, so nothing follows it.
    void BuildTrailer(std::string* trailer) override { trailer->clear(); }
};
