#include "http/http_post_header_builder.h"

#include <cstdint>
#include <cstdio>
#include <random>

namespace {

constexpr const char* kBoundaryLead = "---------------------------";

std::uint32_t DrawBoundaryNumber() {
    // Builders are made on the service worker thread, but a generator per
    // thread keeps tests and any other caller safe too.
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<std::uint32_t>(generator());
}

std::string MakeBoundary(std::uint32_t first, std::uint32_t second) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%08X%08X", static_cast<unsigned>(second),
                  static_cast<unsigned>(first));
    return std::string(kBoundaryLead) + digits;
}

}  // namespace

nwCHttpPOSTHeaderBuilder::nwCHttpPOSTHeaderBuilder() {
    // Two statements, so the draw order is fixed.
    std::uint32_t first = DrawBoundaryNumber();
    std::uint32_t second = DrawBoundaryNumber();
    boundary_ = MakeBoundary(first, second);
}

nwCHttpPOSTHeaderBuilder::nwCHttpPOSTHeaderBuilder(std::uint32_t first, std::uint32_t second)
    : boundary_(MakeBoundary(first, second)) {}

std::string nwCHttpPOSTHeaderBuilder::PartHeader() const {
    std::string part = "--" + boundary_ + "\r\n";
    // Unquoted parameter values are what the upload servers parse.
    if (BodyLength() > 0) {
        part.append("Content-Disposition: form-data; name=attach_file; filename=unknown\r\n");
        part.append("Content-Type: application/octet-stream\r\n");
    }
    return part;
}

void nwCHttpPOSTHeaderBuilder::Build(std::string* request) {
    std::string part = PartHeader();
    // The trailer counts as boundary + 8: CRLF "--" boundary "--" CRLF. A
    // body length too large to add to saturates instead of overflowing.
    std::int64_t overhead = static_cast<std::int64_t>(part.size() + boundary_.size() + 8);
    std::int64_t contentLength =
        BodyLength() > INT64_MAX - overhead ? INT64_MAX : BodyLength() + overhead;

    request->clear();
    AddRequestLine(request, "POST");
    AddStandardHeader(request, "Accept", "*/*");
    AddStandardHeader(request, "Referer", DefaultReferer());
    AddStandardHeader(request, "Accept-Language", "ko");
    AddStandardHeader(request, "Content-Type", "multipart/form-data; boundary=" + boundary_);
    AddStandardHeader(request, "User-Agent", "HalvikClient");
    AddStandardHeader(request, "Host", "");
    if (BodyLength() > 0)
        AddStandardHeader(request, "Content-Length",
                          std::to_string(static_cast<long long>(contentLength)));
    AddStandardHeader(request, "Connection", "Keep-Alive");
    AddRemainingHeaders(request);
    request->append("\r\n");
    request->append(part).append("\r\n");
}

void nwCHttpPOSTHeaderBuilder::BuildTrailer(std::string* trailer) {
    *trailer = "\r\n--" + boundary_ + "--\r\n";
}
