// The look at a 7z header before libarchive reads it: archives that real
// tools make with every method libarchive unpacks pass, and headers whose
// counts, sizes or coder memory would make libarchive allocate gigabytes
// are refused, with correct checksums, so it is the look that refuses them
// and not libarchive's own checks.
#include "updater/seven_zip_header.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <string>

#include "tests/support/temp_folder.h"
#include "tests/updater/archive_builders.h"
#include "updater/extract_archive.h"

using namespace updater_test;

namespace {

// The format's variable-length number: one byte below 0x80, else 0xFF and
// eight little-endian bytes.
std::string Num(std::uint64_t v) {
    if (v < 0x80) return std::string(1, static_cast<char>(v));
    std::string out(1, '\xFF');
    for (int i = 0; i < 8; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
}

std::string Le(std::uint64_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
}

std::uint32_t Crc(const std::string& s) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

// A 7z archive: the signature header with correct checksums, `packed`, then
// `header` as the next header.
std::string SevenZip(const std::string& packed, const std::string& header) {
    const std::string start = Le(packed.size(), 8) + Le(header.size(), 8) + Le(Crc(header), 4);
    return std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8) + Le(Crc(start), 4) + start + packed +
           header;
}

std::string Check(const std::string& archive) {
    std::string why;
    const bool ok = CheckSevenZipHeader(reinterpret_cast<const std::uint8_t*>(archive.data()),
                                        archive.size(), SevenZipHeaderLimits{}, &why);
    return ok ? "ok" : why;
}

const std::string kEnd(1, '\0');

// A streams info without its closing kEnd: one pack stream of `packed`
// bytes, one folder of one coder unpacking to `unpacked`.
std::string Streams(std::size_t packed, const std::string& coder, std::uint64_t unpacked) {
    return "\x06" + Num(0) + Num(1) + "\x09" + Num(packed) + kEnd + "\x07\x0B" + Num(1) + kEnd +
           Num(1) + coder + "\x0C" + Num(unpacked) + kEnd;
}

// A plain header holding those main streams and no files.
std::string Plain(std::size_t packed, const std::string& coder, std::uint64_t unpacked) {
    return "\x01\x04" + Streams(packed, coder, unpacked) + kEnd + kEnd;
}

// An encoded header: the real header is what those streams unpack to.
std::string Encoded(std::size_t packed, const std::string& coder, std::uint64_t unpacked) {
    return "\x17" + Streams(packed, coder, unpacked) + kEnd;
}

const std::string kCopy = std::string("\x01", 1) + kEnd;  // id size 1, id 0

}  // namespace

TEST(SevenZipHeader, ArchivesOfEveryMethodFromTheRealToolPass) {
    TempFolder dir;
    const std::string src = dir.Path() + "src/";
    ASSERT_EQ(std::system(("mkdir -p '" + src + "bin' && head -c 300000 /dev/urandom > '" + src +
                           "TLXDownloadV32.exe' && seq 1 20000 > '" + src + "bin/x.txt'")
                              .c_str()),
              0);
    for (const char* method : {"-m0=LZMA", "-m0=LZMA2", "-m0=PPMd", "-m0=BZip2", "-m0=Deflate",
                               "-m0=Copy", "-mf=BCJ2", "-mhc=off", "-m0=LZMA -mx=9"}) {
        SCOPED_TRACE(method);
        const std::string made = dir.Path() + "made.7z";
        std::remove(made.c_str());
        ASSERT_EQ(std::system(("cd '" + src + "' && 7zz a -t7z " + method + " -bso0 -bsp0 '" +
                               made + "' TLXDownloadV32.exe bin >/dev/null")
                                  .c_str()),
                  0);
        const std::string archive = ReadFile(made);
        EXPECT_EQ(Check(archive), "ok");
        const std::string target = dir.Path() + "out/";
        EXPECT_EQ(ExtractArchive(kArchive7z, Bytes(archive), archive.size(), target), 0);
        EXPECT_EQ(ReadFile(target + "bin/x.txt"), ReadFile(src + "bin/x.txt"));
        EXPECT_EQ(std::system(("rm -rf '" + target + "'").c_str()), 0);
    }
    // libarchive's own writer, and an empty archive.
    EXPECT_EQ(Check(Make7z({Folder("f"), File("f/a", "alpha"), File("z", "")})), "ok");
    EXPECT_EQ(Check(SevenZip("", "")), "ok");
}

TEST(SevenZipHeader, CountsThatWouldSizeHugeTablesAreRefused) {
    // Each a few dozen bytes; libarchive would allocate gigabytes for them.
    EXPECT_EQ(Check(SevenZip("", "\x01\x05" + Num(100000000) + kEnd + kEnd)),
              "too many 7z entries");
    EXPECT_EQ(Check(SevenZip("", "\x01\x04\x07\x0B" + Num(100000000) + kEnd)),
              "too many 7z folders");
    EXPECT_EQ(Check(SevenZip("x", "\x01\x04\x06" + Num(0) + Num(99999999) + "\x09" + Num(1))),
              "too many 7z pack streams");
    EXPECT_EQ(Check(SevenZip(
                  "x", "\x01\x04" + Streams(1, kCopy, 1) + "\x08\x0D" + Num(50000000) + "\x09")),
              "too many 7z unpack streams");
    // A coder with more than four streams.
    EXPECT_EQ(Check(SevenZip("x", Plain(1, "\x11\x04" + Num(1000) + Num(1), 1))),
              "7z coder with too many streams");
    // The input the archive fuzzer found: 10^8 folders in a header that
    // claims 848 GiB, which libarchive reads until the bytes run out.
    const std::string found = ReadFile(ZK4_FUZZ_CORPUS "/archive/found-7z-folder-count");
    ASSERT_FALSE(found.empty());
    const std::string archive = found.substr(1);
    EXPECT_EQ(Check(archive), "7z header outside the archive");
    TempFolder dir;
    EXPECT_EQ(ExtractArchive(kArchive7z, Bytes(archive), archive.size(), dir.Path() + "out/"), 5);
}

TEST(SevenZipHeader, CoderMemoryAndHeaderSizesAreBounded) {
    // LZMA with a 4 GiB dictionary over a one-byte stream.
    const std::string lzma = std::string("\x23\x03\x01\x01\x05\x5D\xFF\xFF\xFF\xFF", 10);
    EXPECT_EQ(Check(SevenZip("x", Plain(1, lzma, 10))),
              "7z coder asks for 4294967295 bytes of memory");
    // LZMA2 whose property names a 3 GiB dictionary; PPMd with a 2 GiB model.
    EXPECT_EQ(Check(SevenZip("x", Plain(1, std::string("\x21\x21\x01\x27", 4), 10))),
              "7z coder asks for 3221225472 bytes of memory");
    const std::string ppmd = std::string("\x23\x03\x04\x01\x05\x06\x00\x00\x00\x80", 10);
    EXPECT_EQ(Check(SevenZip("x", Plain(1, ppmd, 10))),
              "7z coder asks for 2147483648 bytes of memory");
    // A folder that claims to unpack to more than may be written at all.
    EXPECT_EQ(Check(SevenZip("x", Plain(1, kCopy, std::uint64_t{1} << 40))),
              "7z folder of 1099511627776 bytes");
    // An encoded header that claims to unpack to 1 GiB, and one that is
    // packed in a way the look does not read (PPMd).
    EXPECT_EQ(Check(SevenZip("x", Encoded(1, kCopy, 1 << 30))), "7z header of 1073741824 bytes");
    const std::string smallPpmd = std::string("\x23\x03\x04\x01\x05\x06\x00\x00\x10\x00", 10);
    EXPECT_EQ(Check(SevenZip("x", Encoded(1, smallPpmd, 10))),
              "7z header packed by a method not read here");
    // A copied encoded header is read like a plain one.
    const std::string inner = "\x01\x05" + Num(100000000) + kEnd + kEnd;
    EXPECT_EQ(Check(SevenZip(inner, Encoded(inner.size(), kCopy, inner.size()))),
              "too many 7z entries");
}

TEST(SevenZipHeader, HeadersOutsideOrCutAreRefused) {
    const std::string good = Make7z({File("a", "alpha")});
    ASSERT_EQ(Check(good), "ok");
    EXPECT_EQ(Check("PK\x03\x04 not 7z at all, though long enough to be one"), "not a 7z archive");
    for (std::size_t cut : {std::size_t{31}, good.size() - 1}) {
        SCOPED_TRACE(cut);
        EXPECT_NE(Check(good.substr(0, cut)), "ok");
    }
    std::string far = good;
    far[19] = '\x7F';  // the next header's offset past the end
    EXPECT_EQ(Check(far), "7z header outside the archive");
    // Archive properties: libarchive reads them out of step with the format.
    EXPECT_EQ(Check(SevenZip("", "\x01\x02\x05\x01x" + kEnd + kEnd)), "7z archive properties");
}
