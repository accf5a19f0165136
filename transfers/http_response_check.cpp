#include "transfers/http_response_check.h"

#include "http/http_response_head.h"
#include "platform/text.h"

ResponseCheck CheckResponseBody(vzIHttpClientExLayer* layer, BodyNeed need) {
    ResponseCheck check;
    if (!layer) {
        check = {false, "no response"};
        return check;
    }
    std::string encoding;
    if (vzSucceeded(layer->GetHeader("Content-Encoding:", &encoding))) {
        const std::string coding = plat::AsciiLower(plat::Trim(encoding));
        if (!coding.empty() && coding != "identity")
            return {false, "the server sent the body with Content-Encoding " + std::string(plat::Trim(encoding)) +
                               ", which is not the file itself"};
    }
    int framing = 0;
    (void)layer->GetBodyFraming(&framing);  // a parsed head always has one
    switch (static_cast<HttpBodyFraming>(framing)) {
        case HttpBodyFraming::kUnsupported: {
            std::string coding;
            (void)layer->GetHeader("Transfer-Encoding:", &coding);  // present, or the framing would differ
            return {false, "the server sent the body with Transfer-Encoding " + coding +
                               ", which cannot be read"};
        }
        case HttpBodyFraming::kChunked:
            if (need == BodyNeed::kLengthOrChunked) return check;
            return {false, "the server did not announce the file's size (chunked body)"};
        case HttpBodyFraming::kUntilClose:
            return {false, "the server did not announce the file's size (no Content-Length)"};
        case HttpBodyFraming::kNone:
        case HttpBodyFraming::kLength:
            return check;
    }
    return check;
}

std::string UnexpectedStatusText(int status) {
    if (status == 0) return "no HTTP status";
    return "HTTP " + std::to_string(status);
}
