// Percent encoding as the service's peers expect it. Encode keeps only
// letters, digits and "*+-.@_" and writes every other byte as "%XX" in
// upper case, "/" and "~" included, so a path is encoded piece by piece.
// Decode turns "%XX" back into bytes but leaves "+" alone and never decodes
// a "%" among the last two characters, which the response parser relies on
// for header values cut short.
#pragma once

#include <cstddef>
#include <string>

#include "service/base/status_codes.h"

class utCUriCodec {
public:
    // Both answer kUriOk, or kUriFail for a null or empty input, a null
    // `length`, or an `output` smaller than the result plus its terminating
    // zero. `length` always receives the result's length when the input is
    // usable, so callers ask once with a null `output` and then again with a
    // buffer of length + 1. Inputs are NUL-terminated; a decoded zero byte
    // ends the result.
    virtual vzStatus Decode(const char* input, char* output, std::size_t capacity,
                            std::size_t* length);
    virtual vzStatus Encode(const char* input, char* output, std::size_t capacity,
                            std::size_t* length);
    virtual ~utCUriCodec() = default;
};

// Replace `text` by its encoding or decoding; an empty text stays empty.
void EncodeText(std::string* text);
void DecodeText(std::string* text);
