// MD4 against the RFC 1320 test suite, and the digest-sequence check that
// decides whether a fetched archive may be unpacked.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "updater/md4.h"
#include "updater/update_digest.h"

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

std::string Md4Hex(const std::string& text) {
    ctCMD4::Digest d = ctCMD4::Of(text.data(), text.size());
    return Hex(d.data(), d.size());
}

std::vector<std::uint8_t> Data(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 31 + (i >> 11));
    return data;
}

CExpectedDigest Expect(std::vector<std::uint8_t> bytes) {
    return CExpectedDigest{std::move(bytes)};
}

}  // namespace

TEST(Md4, Rfc1320TestSuite) {
    EXPECT_EQ(Md4Hex(""), "31d6cfe0d16ae931b73c59d7e0c089c0");
    EXPECT_EQ(Md4Hex("a"), "bde52cb31de33e46245e05fbdbd6fb24");
    EXPECT_EQ(Md4Hex("abc"), "a448017aaf21d8525fc10ae87aa6729d");
    EXPECT_EQ(Md4Hex("message digest"), "d9130a8164549fe818874806e1c7014b");
    EXPECT_EQ(Md4Hex("abcdefghijklmnopqrstuvwxyz"), "d79e1c308aa5bbcdeea8ed63df412da9");
    EXPECT_EQ(Md4Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "043f8582f241db351ce627e153e7f0e4");
    std::string eighty;
    for (int i = 0; i < 8; ++i) eighty += "1234567890";
    EXPECT_EQ(Md4Hex(eighty), "e33b4ddc9c38f2199c3e7b164fcc0536");
}

TEST(Md4, PiecewiseUpdatesAndPaddingBoundariesMatchOneShot) {
    const std::vector<std::uint8_t> data = Data(1000);
    for (std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
        const ctCMD4::Digest whole = ctCMD4::Of(data.data(), length);
        for (std::size_t step : {1u, 7u, 63u, 64u, 100u}) {
            ctCMD4 md4;
            for (std::size_t at = 0; at < length; at += step)
                md4.Update(data.data() + at, std::min(step, length - at));
            std::uint8_t out[16];
            md4.Final(out);
            EXPECT_EQ(Hex(out, 16), Hex(whole.data(), 16)) << length << "/" << step;
        }
    }
    ctCMD4 reused;
    reused.Update("x", 1);
    std::uint8_t out[16];
    reused.Final(out);
    reused.Init();
    reused.Update("abc", 3);
    reused.Final(out);
    EXPECT_EQ(Hex(out, 16), "a448017aaf21d8525fc10ae87aa6729d");
}

TEST(DigestSequence, LengthFollowsThePieces) {
    const std::int64_t mib = kDigestPieceBytes;
    EXPECT_EQ(DigestSequence(Data(1).data(), 1).size(), 32u);
    EXPECT_EQ(DigestSequence(Data(2 * mib).data(), 2 * mib).size(), 48u);
    EXPECT_EQ(DigestSequence(Data(2 * mib + 1).data(), 2 * mib + 1).size(), 64u);
    // One byte: MD4 of that byte, then MD4 of those 16 bytes.
    const std::uint8_t byte = 'a';
    const std::vector<std::uint8_t> seq = DigestSequence(&byte, 1);
    EXPECT_EQ(Hex(seq.data(), 16), "bde52cb31de33e46245e05fbdbd6fb24");
    const ctCMD4::Digest outer = ctCMD4::Of(seq.data(), 16);
    EXPECT_EQ(Hex(seq.data() + 16, 16), Hex(outer.data(), 16));
}

TEST(VerifyDigest, OnlyTheWholeSequenceVerifies) {
    const std::int64_t size = 2 * kDigestPieceBytes + 1;
    const std::vector<std::uint8_t> data = Data(size);
    const std::vector<std::uint8_t> seq = DigestSequence(data.data(), size);
    CExpectedDigest whole = Expect(seq);
    EXPECT_TRUE(VerifyDigest(size, &whole, data.data()));

    CExpectedDigest prefix = Expect({seq.begin(), seq.begin() + 16});
    EXPECT_FALSE(VerifyDigest(size, &prefix, data.data())) << "16 bytes would check only 1 MiB";
    CExpectedDigest shorter = Expect({seq.begin(), seq.end() - 16});
    EXPECT_FALSE(VerifyDigest(size, &shorter, data.data()));
    std::vector<std::uint8_t> longerBytes = seq;
    longerBytes.insert(longerBytes.end(), 16, 0);
    CExpectedDigest longer = Expect(longerBytes);
    EXPECT_FALSE(VerifyDigest(size, &longer, data.data()));
    CExpectedDigest odd = Expect({seq.begin(), seq.end() - 3});
    EXPECT_FALSE(VerifyDigest(size, &odd, data.data())) << "not a multiple of 16";
    CExpectedDigest empty;
    EXPECT_FALSE(VerifyDigest(size, &empty, data.data()));
    EXPECT_FALSE(VerifyDigest(size, nullptr, data.data()));

    for (std::size_t at : {0u, 20u, 40u, 63u}) {
        std::vector<std::uint8_t> bad = seq;
        bad[at] ^= 1;
        CExpectedDigest flipped = Expect(bad);
        EXPECT_FALSE(VerifyDigest(size, &flipped, data.data())) << at;
    }
    std::vector<std::uint8_t> changed = data;
    changed[size - 1] ^= 0x80;  // the short last piece counts too
    EXPECT_FALSE(VerifyDigest(size, &whole, changed.data()));
    EXPECT_FALSE(VerifyDigest(0, &whole, data.data()));
}

TEST(ArchiveType, ByTheLastExtension) {
    EXPECT_EQ(ArchiveTypeOf("https://h/engine.7z"), kArchive7z);
    EXPECT_EQ(ArchiveTypeOf("https://h/engine.ZIP"), kArchiveZip);
    EXPECT_EQ(ArchiveTypeOf("https://h/a.zip.7Z"), kArchive7z);
    EXPECT_EQ(ArchiveTypeOf("https://h/engine.rar"), kArchiveUnknown);
    EXPECT_EQ(ArchiveTypeOf("https://h/engine.zip?x=1"), kArchiveUnknown);
    EXPECT_EQ(ArchiveTypeOf("zip"), kArchiveUnknown);
    EXPECT_EQ(ArchiveTypeOf(".zip"), kArchiveUnknown);
    EXPECT_EQ(ArchiveTypeOf(""), kArchiveUnknown);
}
