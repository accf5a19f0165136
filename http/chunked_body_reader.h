// Reads a body in the chunked transfer coding (RFC 9112, section 7.1): each
// chunk is a hexadecimal size line (extensions after ";" ignored), that many
// bytes and a line end; a chunk of size 0 and the trailer fields end it.
// Line ends may be CR LF or a bare LF.
//
// The reader works on the bytes buffered for the connection, hands each
// chunk's data to a sink and tells the caller how many of the buffered bytes
// it has used, framing included, so the rest stays buffered. It bounds
// everything a server chooses: size lines of at most 1 KiB, sizes that fit
// 60 bits, trailers of at most 16 KiB.
//
// One reader per response; not thread-safe (it runs where its layer runs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

class ChunkedBodyReader {
public:
    static constexpr std::size_t kMaxSizeLine = 1024;
    static constexpr std::size_t kMaxTrailers = 16 * 1024;

    enum class Result {
        kNeedMore,  // everything usable was used; more bytes are needed
        kDone,      // the last chunk and the trailers have been read
        kBlocked,   // the sink took less than it was given
        kMalformed, // not a chunked body
    };

    // Called with the next piece of chunk data; returns how many bytes of it
    // it took (at most `data.size()`; less stops the read with kBlocked).
    using Sink = std::function<std::size_t(std::string_view data)>;

    // Reads from `buffered`; *used receives the bytes consumed.
    Result Read(std::string_view buffered, const Sink& sink, std::size_t* used);

    bool Done() const { return state_ == State::kDone; }
    std::int64_t DataBytes() const { return dataBytes_; }

private:
    enum class State { kSize, kData, kDataEnd, kTrailers, kDone };

    State state_ = State::kSize;
    std::int64_t remaining_ = 0;  // of the current chunk
    std::int64_t dataBytes_ = 0;  // chunk data handed to the sink so far
    std::size_t trailerBytes_ = 0;
};
