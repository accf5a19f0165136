#include "updater/md4.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t Rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}
constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (~x & z);
}
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (x & z) | (y & z);
}
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}

}  // namespace

void ctCMD4::Init() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    bitCount_ = 0;
    buffered_ = 0;
}

void ctCMD4::Transform(const std::uint8_t block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<std::uint32_t>(block[i * 4]) |
               static_cast<std::uint32_t>(block[i * 4 + 1]) << 8 |
               static_cast<std::uint32_t>(block[i * 4 + 2]) << 16 |
               static_cast<std::uint32_t>(block[i * 4 + 3]) << 24;
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

    // Round 1: F, words in order, shifts 3 7 11 19.
    static constexpr int kShift1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; ++i) {
        std::uint32_t t = a + F(b, c, d) + x[i];
        a = d;
        d = c;
        c = b;
        b = Rotl(t, kShift1[i % 4]);
    }
    // Round 2: G, words by column, constant 0x5A827999, shifts 3 5 9 13.
    static constexpr int kOrder2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    static constexpr int kShift2[4] = {3, 5, 9, 13};
    for (int i = 0; i < 16; ++i) {
        std::uint32_t t = a + G(b, c, d) + x[kOrder2[i]] + 0x5A827999u;
        a = d;
        d = c;
        c = b;
        b = Rotl(t, kShift2[i % 4]);
    }
    // Round 3: H, words in bit-reversed order, constant 0x6ED9EBA1, shifts 3 9 11 15.
    static constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    static constexpr int kShift3[4] = {3, 9, 11, 15};
    for (int i = 0; i < 16; ++i) {
        std::uint32_t t = a + H(b, c, d) + x[kOrder3[i]] + 0x6ED9EBA1u;
        a = d;
        d = c;
        c = b;
        b = Rotl(t, kShift3[i % 4]);
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void ctCMD4::Update(const void* data, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bitCount_ += static_cast<std::uint64_t>(length) * 8;
    if (buffered_ > 0) {
        std::size_t take = std::min(length, sizeof buffer_ - buffered_);
        std::memcpy(buffer_ + buffered_, p, take);
        buffered_ += take;
        p += take;
        length -= take;
        if (buffered_ < sizeof buffer_) return;
        Transform(buffer_);
        buffered_ = 0;
    }
    for (; length >= 64; p += 64, length -= 64) Transform(p);
    std::memcpy(buffer_, p, length);
    buffered_ = length;
}

void ctCMD4::Final(std::uint8_t out[kDigestSize]) {
    const std::uint64_t bits = bitCount_;
    std::uint8_t pad[72] = {0x80};
    // Pad to 56 bytes modulo 64, then the bit count, little-endian.
    std::size_t padLength = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
    Update(pad, padLength);
    std::uint8_t count[8];
    for (int i = 0; i < 8; ++i) count[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    Update(count, sizeof count);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[i * 4 + j] = static_cast<std::uint8_t>(state_[i] >> (8 * j));
}

ctCMD4::Digest ctCMD4::Of(const void* data, std::size_t length) {
    ctCMD4 md4;
    md4.Update(data, length);
    Digest digest;
    md4.Final(digest.data());
    return digest;
}
