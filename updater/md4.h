// MD4 (RFC 1320), written out here because the update server's digest
// files use it and OpenSSL keeps MD4 only in its legacy provider, whose
// loading would change the algorithms every TLS connection of the process
// can use. MD4 is not a secure hash; the digests only catch damaged or
// mismatched downloads, the HTTPS connection is what authenticates them.
//
// Usage: Update as often as needed, then Final. After Final the object must
// be Init-ed again before the next digest. One object per thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class ctCMD4 {
public:
    static constexpr std::size_t kDigestSize = 16;
    using Digest = std::array<std::uint8_t, kDigestSize>;

    ctCMD4() { Init(); }
    virtual ~ctCMD4() = default;

    void Init();
    void Update(const void* data, std::size_t length);
    // Pads, appends the bit count and writes the four chaining values, each
    // little-endian, to `out`.
    void Final(std::uint8_t out[kDigestSize]);

    // The digest of one block of bytes.
    static Digest Of(const void* data, std::size_t length);

private:
    void Transform(const std::uint8_t block[64]);

    std::uint32_t state_[4] = {};
    std::uint64_t bitCount_ = 0;
    std::uint8_t buffer_[64] = {};
    std::size_t buffered_ = 0;
};
