#include "fuzz/support/read_script.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

FuzzReadScript::FuzzReadScript(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    if (size < 2) {
        stream_ = std::string_view(bytes, size);
    } else {
        settings_ = data[0];
        const std::size_t cuts = std::min<std::size_t>(data[1] % (kMaxCuts + 1), size - 2);
        std::vector<std::size_t> lengths;
        for (std::size_t i = 0; i < cuts; ++i) lengths.push_back(std::size_t{data[2 + i]} + 1);
        stream_ = std::string_view(bytes + 2 + cuts, size - 2 - cuts);
        std::string_view rest = stream_;
        for (std::size_t length : lengths) {
            if (rest.empty()) break;
            const std::size_t take = std::min(length, rest.size());
            reads_.push_back(rest.substr(0, take));
            rest.remove_prefix(take);
        }
        if (!rest.empty()) reads_.push_back(rest);
        return;
    }
    if (!stream_.empty()) reads_.push_back(stream_);
}

void FuzzFail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, what);
    std::abort();
}
