#include "http/chunked_body_reader.h"

#include <algorithm>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The line at the start of `data` without its line end; *length the bytes
// of the line with its LF. False when no LF has arrived yet.
bool TakeLine(std::string_view data, std::string_view* line, std::size_t* length) {
    std::size_t lf = data.find('\n');
    if (lf == std::string_view::npos) return false;
    std::string_view text = data.substr(0, lf);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    *line = text;
    *length = lf + 1;
    return true;
}

}  // namespace

ChunkedBodyReader::Result ChunkedBodyReader::Read(std::string_view buffered, const Sink& sink,
                                                  std::size_t* used) {
    std::size_t pos = 0;
    *used = 0;
    for (;;) {
        std::string_view rest = buffered.substr(pos);
        switch (state_) {
            case State::kSize: {
                std::string_view line;
                std::size_t length = 0;
                if (!TakeLine(rest, &line, &length)) {
                    *used = pos;
                    return rest.size() > kMaxSizeLine ? Result::kMalformed : Result::kNeedMore;
                }
                if (length > kMaxSizeLine) return Result::kMalformed;
                std::int64_t size = 0;
                std::size_t digits = 0;
                for (char c : line) {
                    int d = HexDigit(c);
                    if (d < 0) break;
                    if (++digits > 15) return Result::kMalformed;  // past 60 bits
                    size = size * 16 + d;
                }
                if (digits == 0) return Result::kMalformed;
                std::string_view after = line.substr(digits);
                while (!after.empty() && (after.front() == ' ' || after.front() == '\t'))
                    after.remove_prefix(1);
                if (!after.empty() && after.front() != ';') return Result::kMalformed;
                pos += length;
                remaining_ = size;
                state_ = size == 0 ? State::kTrailers : State::kData;
                break;
            }
            case State::kData: {
                if (rest.empty()) {
                    *used = pos;
                    return Result::kNeedMore;
                }
                const std::size_t offer =
                    static_cast<std::size_t>(std::min<std::int64_t>(remaining_, static_cast<std::int64_t>(rest.size())));
                const std::size_t taken = std::min(sink(rest.substr(0, offer)), offer);
                pos += taken;
                remaining_ -= static_cast<std::int64_t>(taken);
                dataBytes_ += static_cast<std::int64_t>(taken);
                if (taken < offer) {
                    *used = pos;
                    return Result::kBlocked;
                }
                if (remaining_ == 0) state_ = State::kDataEnd;
                break;
            }
            case State::kDataEnd: {
                std::string_view line;
                std::size_t length = 0;
                if (!TakeLine(rest, &line, &length)) {
                    *used = pos;
                    // Only a line end may follow the data.
                    return rest.size() >= 2 ? Result::kMalformed : Result::kNeedMore;
                }
                if (!line.empty()) return Result::kMalformed;
                pos += length;
                state_ = State::kSize;
                break;
            }
            case State::kTrailers: {
                std::string_view line;
                std::size_t length = 0;
                if (!TakeLine(rest, &line, &length)) {
                    *used = pos;
                    return trailerBytes_ + rest.size() > kMaxTrailers ? Result::kMalformed
                                                                      : Result::kNeedMore;
                }
                trailerBytes_ += length;
                if (trailerBytes_ > kMaxTrailers) return Result::kMalformed;
                pos += length;
                if (line.empty()) {
                    state_ = State::kDone;
                    *used = pos;
                    return Result::kDone;
                }
                break;
            }
            case State::kDone:
                *used = pos;
                return Result::kDone;
        }
    }
}
