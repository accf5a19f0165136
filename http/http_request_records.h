// The records a request is described by before it is built: headers, whose
// `emitted` flag lets the builders write each header exactly once, and
// query parameters. Both keep insertion order, which is the order on the wire.
#pragma once

#include <string>

struct HttpHeaderRecord {
    std::string name;
    std::string value;
    bool emitted = false;
};

struct HttpParameterRecord {
    std::string name;
    std::string value;
};
