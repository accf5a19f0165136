#include "http/http_request_header_builder.h"

#include "http/code_page.h"
#include "http/http_get_header_builder.h"
#include "http/http_post_header_builder.h"
#include "http/uri_codec.h"
#include "platform/text.h"
#include "server_hosts.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";

bool SameNameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && plat::AsciiLower(a) == plat::AsciiLower(b);
}

template <class Record>
Record* FindRecord(std::vector<Record>& records, std::string_view name) {
    for (Record& record : records)
        if (SameNameNoCase(record.name, name)) return &record;
    return nullptr;
}

void AppendLine(std::string* text, std::string_view name, std::string_view value) {
    text->append(name).append(": ").append(value).append(kCrLf);
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Percent-encodes a path piece or a query value, keeping the escapes it
// already holds: a URL from a file list or a signed CDN address is a URL,
// so its "%2B" must reach the server as "%2B", not "%252B". Text without a
// valid escape is encoded exactly as EncodeText does.
void EncodeKeepingEscapes(std::string* text) {
    std::string out;
    std::size_t run = 0;
    auto flushRun = [&](std::size_t end) {
        std::string piece = text->substr(run, end - run);
        EncodeText(&piece);
        out += piece;
    };
    for (std::size_t i = 0; i < text->size(); ++i) {
        if ((*text)[i] == '%' && i + 2 < text->size() && IsHex((*text)[i + 1]) && IsHex((*text)[i + 2])) {
            flushRun(i);
            out.append(*text, i, 3);
            i += 2;
            run = i + 1;
        }
    }
    flushRun(text->size());
    *text = std::move(out);
}

}  // namespace

std::unique_ptr<nwCHttpRequestHeaderBuilder> nwCHttpRequestHeaderBuilder::Create(int type) {
    if (type == kHttpBuilderGet) return std::make_unique<nwCHttpGETHeaderBuilder>();
    if (type == kHttpBuilderPost) return std::make_unique<nwCHttpPOSTHeaderBuilder>();
    return nullptr;
}

std::string nwCHttpRequestHeaderBuilder::DefaultReferer() {
    return std::string("http://") + kBuildPeerServiceServer + "/";
}

void nwCHttpRequestHeaderBuilder::SetHeader(std::string_view name, std::string_view value) {
    // The request path arrives as the method's header; its query is split
    // into parameters here, taken as they come (no decoding), and pieces
    // without "=" are dropped.
    if (name.starts_with("GET") || name.starts_with("POST")) {
        std::size_t question = value.find('?');
        if (question != std::string_view::npos) {
            std::string_view query = value.substr(question + 1);
            value = value.substr(0, question);
            while (true) {
                std::size_t amp = query.find('&');
                std::string_view piece = query.substr(0, amp);
                std::size_t equals = piece.find('=');
                if (equals != std::string_view::npos) {
                    SetParameter(piece.substr(0, equals), piece.substr(equals + 1));
                }
                if (amp == std::string_view::npos) break;
                query.remove_prefix(amp + 1);
            }
        }
    }
    if (HttpHeaderRecord* found = FindHeader(name)) {
        found->value.assign(value);
    } else {
        headers_.push_back({std::string(name), std::string(value), false});
    }
}

void nwCHttpRequestHeaderBuilder::SetParameter(std::string_view name, std::string_view value) {
    if (HttpParameterRecord* found = FindParameter(name)) {
        found->value.assign(value);
    } else {
        parameters_.push_back({std::string(name), std::string(value)});
    }
}

HttpHeaderRecord* nwCHttpRequestHeaderBuilder::FindHeader(std::string_view name) {
    return FindRecord(headers_, name);
}

HttpParameterRecord* nwCHttpRequestHeaderBuilder::FindParameter(std::string_view name) {
    return FindRecord(parameters_, name);
}

std::string nwCHttpRequestHeaderBuilder::RequestTarget() {
    std::string path = "/";
    HttpHeaderRecord* pathHeader = FindHeader("GET");
    if (pathHeader == nullptr) pathHeader = FindHeader("POST");
    if (pathHeader != nullptr) {
        pathHeader->emitted = true;
        path = pathHeader->value;
    }
    // Servers expect UTF-8 whatever the local code page. Encoding piece by
    // piece keeps the "/" separators while empty pieces (doubled or trailing
    // slashes) disappear.
    std::string utf8 = ToUtf8(path);
    std::string target;
    std::string_view rest = utf8;
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string piece(rest.substr(0, slash));
        if (!piece.empty()) {
            EncodeKeepingEscapes(&piece);
            target.append("/").append(piece);
        }
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    if (target.empty()) target = "/";

    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        std::string name = parameters_[i].name;
        std::string value = parameters_[i].value;
        EncodeKeepingEscapes(&name);
        EncodeKeepingEscapes(&value);
        target.append(i == 0 ? "?" : "&").append(name).append("=").append(value);
    }
    return target;
}

void nwCHttpRequestHeaderBuilder::AddRequestLine(std::string* text, std::string_view method) {
    text->append(method).append(" ").append(targetPrefix_).append(RequestTarget());
    text->append(" HTTP/1.1").append(kCrLf);
}

void nwCHttpRequestHeaderBuilder::AddStandardHeader(std::string* text, std::string_view name,
                                                    std::string_view fallback) {
    if (HttpHeaderRecord* found = FindHeader(name)) {
        found->emitted = true;
        AppendLine(text, name, found->value);
    } else if (!fallback.empty()) {
        AppendLine(text, name, fallback);
    }
}

void nwCHttpRequestHeaderBuilder::AddRemainingHeaders(std::string* text) {
    for (HttpHeaderRecord& header : headers_) {
        if (header.emitted) continue;
        header.emitted = true;
        std::string value = header.value;
        // A cookie's syntax and a proxy's credentials (base64, with its
        // "=" and "+") must reach the other end unchanged.
        if (header.name != "Cookie" && header.name != "Proxy-Authorization") EncodeText(&value);
        AppendLine(text, header.name, value);
    }
}
