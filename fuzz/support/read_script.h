// How a fuzz target turns one input into a peer's bytes and the reads they
// arrive in, so that heads, frames and chunk lines cross read boundaries
// wherever the fuzzer likes:
//
//   byte 0      settings: what the target's listener does (per target)
//   byte 1      n: how many cut lengths follow (modulo kMaxCuts + 1)
//   n bytes     the lengths of the first n reads, each minus one (1..256)
//   the rest    the stream; what the n reads leave is one last read
//
// An input of fewer than two bytes is all stream, in one read. The seed
// corpus starts with "\0\0": default settings, the whole stream at once.
//
// Plain data over the fuzzer's buffer (which outlives the script); any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class FuzzReadScript {
public:
    static constexpr std::size_t kMaxCuts = 32;

    FuzzReadScript(const std::uint8_t* data, std::size_t size);

    std::uint8_t Settings() const { return settings_; }
    // Every byte the peer sends, in order.
    std::string_view Stream() const { return stream_; }
    // Stream() cut into reads: none empty, together exactly Stream().
    const std::vector<std::string_view>& Reads() const { return reads_; }

private:
    std::uint8_t settings_ = 0;
    std::string_view stream_;
    std::vector<std::string_view> reads_;
};

// A failed invariant: prints what was expected and aborts, which the fuzzer
// reports as a crash with the input that caused it. Unlike assert it stays
// in every build.
[[noreturn]] void FuzzFail(const char* file, int line, const char* what);

#define FUZZ_CHECK(condition)                                       \
    do {                                                            \
        if (!(condition)) FuzzFail(__FILE__, __LINE__, #condition); \
    } while (0)
