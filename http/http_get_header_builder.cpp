#include "http/http_get_header_builder.h"

void nwCHttpGETHeaderBuilder::Build(std::string* request) {
    request->clear();
    AddRequestLine(request, "GET");
    AddStandardHeader(request, "Accept", "*/*");
    AddStandardHeader(request, "Referer", DefaultReferer());
    AddStandardHeader(request, "Accept-Language", "ko");
    AddStandardHeader(request, "User-Agent", "HalvikClient");
    // Range and Host have no default; they are written here only so that
    // they keep their place ahead of Connection.
    AddStandardHeader(request, "Range", "");
    AddStandardHeader(request, "Host", "");
    AddStandardHeader(request, "Connection", "Keep-Alive");
    AddRemainingHeaders(request);
    request->append("\r\n");
}
