// The head of a multipart/form-data upload with a single part, the file
// "attach_file". Build writes the request head followed by the part's own
// header and the empty line that ends it; the client layer then sends the
// body and finally BuildTrailer's closing boundary.
//
// The declared Content-Length leaves out the CRLF that ends the part
// header, so the trailer's last CRLF lies beyond it. The servers accept
// this and are used to it, so it stays.
#pragma once

#include <cstdint>
#include <string>

#include "http/http_request_header_builder.h"

class nwCHttpPOSTHeaderBuilder : public nwCHttpRequestHeaderBuilder {
public:
    // Draws the boundary's two numbers from a pseudo-random source.
    nwCHttpPOSTHeaderBuilder();
    // Uses the given numbers, in the order they would have been drawn; the
    // second is printed first.
    nwCHttpPOSTHeaderBuilder(std::uint32_t first, std::uint32_t second);

    void Build(std::string* request) override;
    void BuildTrailer(std::string* trailer) override;

    // 27 hyphens and 16 upper-case hexadecimal digits.
    const std::string& Boundary() const { return boundary_; }

private:
    std::string PartHeader() const;

    std::string boundary_;
};
