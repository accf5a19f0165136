// What every HTTP session accepts of a response before it takes a single
// body byte, so that no misconfigured or hostile server can make a file of
// something that is not the file: a Content-Encoding other than identity
// (gzip sent although none was asked for) or a transfer coding the layer
// cannot read is refused, and a session that needs to know the body's size
// in advance refuses a body without one. Each refusal says why, in words
// that go into the log and the user's message.
//
// Plain functions; they run where the session runs (service lock held).
#pragma once

#include <string>

#include "http/http_client_interfaces.h"

enum class BodyNeed {
    kLength,           // the size must be announced (files, size probes, updates)
    kLengthOrChunked,  // a chunked body is fine too (documents), decoded by the layer
};

struct ResponseCheck {
    bool ok = true;
    std::string reason;  // set when !ok
};

// Checks the head the layer has just parsed.
ResponseCheck CheckResponseBody(vzIHttpClientExLayer* layer, BodyNeed need);

// "HTTP 404" and the like, for a status the session cannot use.
std::string UnexpectedStatusText(int status);
