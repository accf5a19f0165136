#include "updater/seven_zip_header.h"

#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Property ids of the 7z header, as the format names them.
enum : std::uint8_t {
    kEnd = 0x00,
    kHeader = 0x01,
    kArchiveProperties = 0x02,
    kAdditionalStreamsInfo = 0x03,
    kMainStreamsInfo = 0x04,
    kFilesInfo = 0x05,
    kPackInfo = 0x06,
    kUnPackInfo = 0x07,
    kSubStreamsInfo = 0x08,
    kSize = 0x09,
    kCRC = 0x0A,
    kFolder = 0x0B,
    kCodersUnPackSize = 0x0C,
    kNumUnPackStream = 0x0D,
    kEncodedHeader = 0x17,
};

// Coder ids whose memory a property sets, and those an encoded header may
// be packed with here.
constexpr std::uint64_t kCopy = 0x00;
constexpr std::uint64_t kLzma2 = 0x21;
constexpr std::uint64_t kLzma = 0x030101;
constexpr std::uint64_t kPpmd = 0x030401;
constexpr std::uint64_t kDeflate = 0x040108;
constexpr std::uint64_t kBcj2 = 0x0303011B;

constexpr std::size_t kSignatureHeaderSize = 32;
constexpr std::uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr std::uint64_t kMaxCoderStreams = 4;  // BCJ2 has four inputs
constexpr std::uint64_t kMaxCoderProperties = 256;

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::uint64_t Le64(const std::uint8_t* p) {
    return std::uint64_t{Le32(p)} | std::uint64_t{Le32(p + 4)} << 32;
}

struct Coder {
    std::uint64_t id = 0;
    std::uint64_t inStreams = 1;
    std::uint64_t outStreams = 1;
    std::vector<std::uint8_t> properties;
};

struct Folder {
    std::vector<Coder> coders;
    std::vector<std::uint64_t> unpackSizes;  // one per output stream
    std::vector<std::uint64_t> boundOutputs;
    std::uint64_t packedStreams = 0;
    std::uint64_t unpackStreams = 1;
    bool digestDefined = false;

    // The folder's result: the output stream no bind pair consumes.
    std::uint64_t UnpackSize() const {
        for (std::size_t n = unpackSizes.size(); n-- > 0;) {
            bool bound = false;
            for (std::uint64_t out : boundOutputs) bound = bound || out == n;
            if (!bound) return unpackSizes[n];
        }
        return 0;
    }
};

struct StreamsInfo {
    std::uint64_t packPos = 0;
    std::vector<std::uint64_t> packSizes;
    std::vector<Folder> folders;
};

// Reads one header's bytes, checking every count against the limits before
// it is used, and records the first reason to refuse.
class HeaderWalk {
public:
    HeaderWalk(const std::uint8_t* data, std::size_t size, const SevenZipHeaderLimits& limits,
               std::uint64_t headerOffset, std::string* why)
        : p_(data), end_(data + size), limits_(limits), headerOffset_(headerOffset), why_(why) {}

    bool StreamsInfo(::StreamsInfo* info);
    // The header after its kHeader byte; its main streams into `main`.
    bool Header(::StreamsInfo* main);

private:
    bool Fail(const char* reason) {
        if (why_->empty()) *why_ = reason;
        return false;
    }
    std::uint64_t Left() const { return static_cast<std::uint64_t>(end_ - p_); }
    bool Byte(std::uint8_t* out) {
        if (p_ == end_) return Fail("7z header ends early");
        *out = *p_++;
        return true;
    }
    bool Expect(std::uint8_t id, const char* reason) {
        std::uint8_t got = 0;
        return Byte(&got) && (got == id || Fail(reason));
    }
    bool Skip(std::uint64_t n) {
        if (n > Left()) return Fail("7z header ends early");
        p_ += n;
        return true;
    }
    // The format's variable-length number: the leading one bits of the first
    // byte say how many bytes follow.
    bool Number(std::uint64_t* out) {
        std::uint8_t first = 0;
        if (!Byte(&first)) return false;
        std::uint64_t value = 0;
        std::uint8_t mask = 0x80;
        for (int i = 0; i < 8; ++i) {
            if ((first & mask) == 0) {
                *out = value | (std::uint64_t{first} & (mask - 1u)) << (8 * i);
                return true;
            }
            std::uint8_t next = 0;
            if (!Byte(&next)) return false;
            value |= std::uint64_t{next} << (8 * i);
            mask >>= 1;
        }
        *out = value;
        return true;
    }
    bool Count(std::uint64_t* out, std::uint64_t cap, const char* reason) {
        return Number(out) && (*out <= cap || Fail(reason));
    }

    // A digest vector of `count` entries; which are defined into `defined`
    // when given.
    bool Digests(std::uint64_t count, std::vector<bool>* defined = nullptr);
    bool PackInfo(::StreamsInfo* info);
    bool Folder(::Folder* folder);
    bool CodersInfo(::StreamsInfo* info);
    bool SubStreamsInfo(std::vector<::Folder>* folders);
    bool FilesInfo();

    const std::uint8_t* p_;
    const std::uint8_t* const end_;
    const SevenZipHeaderLimits& limits_;
    const std::uint64_t headerOffset_;
    std::string* why_;
};

bool HeaderWalk::Digests(std::uint64_t count, std::vector<bool>* definedOut) {
    if (count == 0) return Fail("7z digests of nothing");
    std::uint8_t allDefined = 0;
    if (!Byte(&allDefined)) return false;
    if (allDefined == 0 && (count + 7) / 8 > Left()) return Fail("7z header ends early");
    std::uint64_t defined = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const bool bit = allDefined != 0 || ((p_[i / 8] >> (7 - i % 8)) & 1u) != 0;
        if (definedOut) definedOut->push_back(bit);
        defined += bit ? 1 : 0;
    }
    if (allDefined == 0) p_ += (count + 7) / 8;
    return defined <= Left() / 4 ? Skip(defined * 4) : Fail("7z header ends early");
}

bool HeaderWalk::PackInfo(::StreamsInfo* info) {
    std::uint64_t count = 0;
    if (!Number(&info->packPos) || !Count(&count, limits_.maxStreams, "too many 7z pack streams"))
        return false;
    if (count == 0) return Fail("7z pack info without streams");
    if (!Expect(kSize, "7z pack info without sizes")) return false;
    std::uint64_t end = info->packPos;
    if (end > headerOffset_) return Fail("7z packed data past the header");
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t size = 0;
        if (!Number(&size)) return false;
        if (size > headerOffset_ - end) return Fail("7z packed data past the header");
        end += size;
        info->packSizes.push_back(size);
    }
    std::uint8_t id = 0;
    if (!Byte(&id)) return false;
    if (id == kEnd) return true;
    if (id != kCRC) return Fail("7z pack info malformed");
    return Digests(count) && Expect(kEnd, "7z pack info malformed");
}

bool HeaderWalk::Folder(::Folder* folder) {
    std::uint64_t coders = 0;
    if (!Count(&coders, 4, "too many 7z coders in a folder")) return false;
    std::uint64_t inTotal = 0, outTotal = 0;
    for (std::uint64_t i = 0; i < coders; ++i) {
        Coder coder;
        std::uint8_t flags = 0;
        if (!Byte(&flags)) return false;
        if (flags & 0x80) return Fail("7z coder with alternative methods");
        const std::size_t idSize = flags & 0x0F;
        if (idSize > 8) return Fail("7z coder id too long");
        if (idSize > Left()) return Fail("7z header ends early");
        for (std::size_t b = 0; b < idSize; ++b) coder.id = coder.id << 8 | *p_++;
        if (flags & 0x10) {
            if (!Count(&coder.inStreams, kMaxCoderStreams, "7z coder with too many streams") ||
                !Count(&coder.outStreams, kMaxCoderStreams, "7z coder with too many streams"))
                return false;
        }
        if (flags & 0x20) {
            std::uint64_t size = 0;
            if (!Count(&size, kMaxCoderProperties, "7z coder properties too long")) return false;
            if (size > Left()) return Fail("7z header ends early");
            coder.properties.assign(p_, p_ + size);
            p_ += size;
        }
        inTotal += coder.inStreams;
        outTotal += coder.outStreams;
        folder->coders.push_back(std::move(coder));
    }
    if (outTotal == 0 || inTotal < outTotal - 1) return Fail("7z folder malformed");
    const std::uint64_t bindPairs = outTotal - 1;
    std::vector<std::uint64_t> boundInputs;
    for (std::uint64_t i = 0; i < bindPairs; ++i) {
        std::uint64_t in = 0, out = 0;
        if (!Number(&in) || !Number(&out)) return false;
        if (in >= inTotal || out >= outTotal) return Fail("7z folder malformed");
        boundInputs.push_back(in);
        folder->boundOutputs.push_back(out);
    }
    folder->packedStreams = inTotal - bindPairs;
    if (folder->packedStreams == 1) {
        bool free = false;
        for (std::uint64_t in = 0; in < inTotal && !free; ++in) {
            bool bound = false;
            for (std::uint64_t b : boundInputs) bound = bound || b == in;
            free = !bound;
        }
        if (!free) return Fail("7z folder malformed");
    } else {
        for (std::uint64_t i = 0; i < folder->packedStreams; ++i) {
            std::uint64_t index = 0;
            if (!Number(&index)) return false;
            if (index >= inTotal) return Fail("7z folder malformed");
        }
    }
    folder->unpackSizes.resize(outTotal);
    return true;
}

bool HeaderWalk::CodersInfo(::StreamsInfo* info) {
    std::uint64_t count = 0;
    std::uint8_t external = 0;
    if (!Expect(kFolder, "7z coders info malformed") ||
        !Count(&count, limits_.maxStreams, "too many 7z folders") || !Byte(&external))
        return false;
    if (external != 0) return Fail("7z folders kept outside the header");
    info->folders.resize(count);
    for (::Folder& folder : info->folders)
        if (!Folder(&folder)) return false;
    if (!Expect(kCodersUnPackSize, "7z coders info malformed")) return false;
    for (::Folder& folder : info->folders)
        for (std::uint64_t& size : folder.unpackSizes)
            if (!Number(&size)) return false;
    std::uint8_t id = 0;
    if (!Byte(&id)) return false;
    if (id == kEnd) return true;
    if (id != kCRC) return Fail("7z coders info malformed");
    // Whether a folder's digest is defined changes what the substreams
    // info holds, so the vector is kept.
    std::vector<bool> defined;
    if (!Digests(count, &defined)) return false;
    for (std::uint64_t i = 0; i < count; ++i) info->folders[i].digestDefined = defined[i];
    return Expect(kEnd, "7z coders info malformed");
}

bool HeaderWalk::SubStreamsInfo(std::vector<::Folder>* folders) {
    std::uint8_t type = 0;
    if (!Byte(&type)) return false;
    std::uint64_t total = folders->size();
    if (type == kNumUnPackStream) {
        total = 0;
        for (::Folder& folder : *folders) {
            if (!Count(&folder.unpackStreams, limits_.maxStreams, "too many 7z unpack streams"))
                return false;
            total += folder.unpackStreams;
            if (total > limits_.maxStreams) return Fail("too many 7z unpack streams");
        }
        if (!Byte(&type)) return false;
    }
    if (type != kSize) {
        for (const ::Folder& folder : *folders)
            if (folder.unpackStreams > 1) return Fail("7z substreams without sizes");
    } else {
        for (const ::Folder& folder : *folders) {
            if (folder.unpackStreams == 0) continue;
            std::uint64_t sum = 0;
            for (std::uint64_t i = 1; i < folder.unpackStreams; ++i) {
                std::uint64_t size = 0;
                if (!Number(&size)) return false;
                if (size > folder.UnpackSize() - sum)
                    return Fail("7z substreams larger than their folder");
                sum += size;
            }
        }
        if (!Byte(&type)) return false;
    }
    std::uint64_t digests = 0;
    for (const ::Folder& folder : *folders)
        if (folder.unpackStreams != 1 || !folder.digestDefined) digests += folder.unpackStreams;
    if (type == kCRC) {
        if (!Digests(digests) || !Byte(&type)) return false;
    }
    return type == kEnd || Fail("7z substreams info malformed");
}

bool HeaderWalk::StreamsInfo(::StreamsInfo* info) {
    std::uint8_t id = 0;
    if (!Byte(&id)) return false;
    if (id == kPackInfo) {
        if (!PackInfo(info) || !Byte(&id)) return false;
    }
    if (id == kUnPackInfo) {
        if (!CodersInfo(info)) return false;
        std::uint64_t packIndex = 0;
        for (const ::Folder& folder : info->folders) {
            packIndex += folder.packedStreams;
            if (packIndex > info->packSizes.size()) return Fail("7z folders without packed data");
        }
        if (!Byte(&id)) return false;
    }
    if (id == kSubStreamsInfo) {
        if (!SubStreamsInfo(&info->folders) || !Byte(&id)) return false;
    }
    return id == kEnd || Fail("7z streams info malformed");
}

bool HeaderWalk::FilesInfo() {
    std::uint64_t files = 0;
    if (!Count(&files, limits_.maxFiles, "too many 7z entries")) return false;
    // The properties' contents are sized by the file count (checked) or by
    // their own length inside the header; only their framing is walked.
    for (;;) {
        std::uint8_t type = 0;
        if (!Byte(&type)) return false;
        if (type == kEnd) return true;
        std::uint64_t size = 0;
        if (!Number(&size) || !Skip(size)) return false;
    }
}

bool HeaderWalk::Header(::StreamsInfo* main) {
    std::uint8_t id = 0;
    if (!Byte(&id)) return false;
    // libarchive reads archive properties without their data, out of step
    // with the format; no tool we know writes them.
    if (id == kArchiveProperties) return Fail("7z archive properties");
    if (id == kAdditionalStreamsInfo) return Fail("7z additional streams");
    if (id == kMainStreamsInfo) {
        if (!StreamsInfo(main) || !Byte(&id)) return false;
    }
    if (id == kEnd) return true;
    if (id != kFilesInfo) return Fail("7z header malformed");
    return FilesInfo() && Expect(kEnd, "7z header malformed");
}

// What libarchive will allocate to unpack the folders: every coder's
// dictionary or model, and for a BCJ2 folder each of its streams, which it
// unpacks whole into memory before the first byte comes out.
bool FoldersFit(const std::vector<Folder>& folders, const SevenZipHeaderLimits& limits,
                std::string* why) {
    for (const Folder& folder : folders) {
        if (folder.UnpackSize() > limits.maxUnpackedBytes) {
            *why = "7z folder of " + std::to_string(folder.UnpackSize()) + " bytes";
            return false;
        }
        for (const Coder& coder : folder.coders) {
            const auto& props = coder.properties;
            std::uint64_t memory = 0;
            if ((coder.id == kLzma || coder.id == kPpmd) && props.size() >= 5) {
                memory = Le32(props.data() + 1);
            } else if (coder.id == kLzma2 && props.size() >= 1) {
                const unsigned bits = props[0];
                memory = bits > 40    ? ~std::uint64_t{0}
                         : bits == 40 ? 0xFFFFFFFFu
                                      : (std::uint64_t{2} | (bits & 1u)) << (bits / 2 + 11);
            } else if (coder.id == kBcj2) {
                for (std::uint64_t size : folder.unpackSizes) memory = std::max(memory, size);
            }
            if (memory > limits.maxCoderMemory) {
                *why = "7z coder asks for " + std::to_string(memory) + " bytes of memory";
                return false;
            }
        }
    }
    return true;
}

bool UnpackWithLzma(const Coder& coder, const std::uint8_t* in, std::size_t inSize,
                    std::vector<std::uint8_t>* out) {
    lzma_filter filters[2] = {{coder.id == kLzma ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA2, nullptr},
                              {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_properties_decode(&filters[0], nullptr, coder.properties.data(),
                               coder.properties.size()) != LZMA_OK)
        return false;
    lzma_stream stream = LZMA_STREAM_INIT;
    const lzma_ret made = lzma_raw_decoder(&stream, filters);
    std::free(filters[0].options);
    if (made != LZMA_OK) return false;
    stream.next_in = in;
    stream.avail_in = inSize;
    stream.next_out = out->data();
    stream.avail_out = out->size();
    // The header's length is known; LZMA may end without a marker, so the
    // decoder stops when the buffer is full. With nothing left to read it
    // answers LZMA_BUF_ERROR rather than looping.
    lzma_ret r = LZMA_OK;
    while (stream.avail_out > 0 && r == LZMA_OK) r = lzma_code(&stream, LZMA_FINISH);
    const bool whole = stream.avail_out == 0;
    lzma_end(&stream);
    return whole;
}

bool UnpackWithDeflate(const std::uint8_t* in, std::size_t inSize, std::vector<std::uint8_t>* out) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
    stream.next_in = const_cast<Bytef*>(in);
    stream.avail_in = static_cast<uInt>(inSize);
    stream.next_out = out->data();
    stream.avail_out = static_cast<uInt>(out->size());
    int r = Z_OK;
    while (stream.avail_out > 0 && r == Z_OK) r = inflate(&stream, Z_FINISH);
    const bool whole = stream.avail_out == 0;
    inflateEnd(&stream);
    return whole;
}

// Unpacks the encoded header described by `info` (its first folder over its
// first pack stream, as libarchive reads it).
bool UnpackEncodedHeader(const CArchiveSource& source, const StreamsInfo& info,
                         const SevenZipHeaderLimits& limits, std::vector<std::uint8_t>* header,
                         std::string* why) {
    if (info.folders.empty() || info.packSizes.empty() || info.packSizes[0] == 0) {
        *why = "7z encoded header malformed";
        return false;
    }
    const Folder& folder = info.folders[0];
    const std::uint64_t size = folder.UnpackSize();
    if (size == 0 || size > limits.maxHeaderBytes) {
        *why = "7z header of " + std::to_string(size) + " bytes";
        return false;
    }
    if (folder.coders.size() != 1 || folder.coders[0].inStreams != 1 ||
        folder.coders[0].outStreams != 1) {
        *why = "7z header packed in more than one step";
        return false;
    }
    const Coder& coder = folder.coders[0];
    // Packed, the header is not much longer than unpacked (stored blocks of
    // LZMA or Deflate add a little): read no more than that.
    const std::uint64_t inSize = info.packSizes[0];
    if (inSize > 2 * limits.maxHeaderBytes + 65536) {
        *why = "7z packed header of " + std::to_string(inSize) + " bytes";
        return false;
    }
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(inSize));
    if (!source.ReadAt(static_cast<std::int64_t>(kSignatureHeaderSize + info.packPos),
                       packed.data(), packed.size())) {
        *why = "7z packed header outside the archive";
        return false;
    }
    const std::uint8_t* in = packed.data();
    header->resize(size);
    bool unpacked = false;
    if (coder.id == kCopy) {
        unpacked = inSize >= size;
        if (unpacked) std::memcpy(header->data(), in, size);
    } else if (coder.id == kLzma || coder.id == kLzma2) {
        unpacked = UnpackWithLzma(coder, in, inSize, header);
    } else if (coder.id == kDeflate) {
        unpacked = UnpackWithDeflate(in, inSize, header);
    } else {
        *why = "7z header packed by a method not read here";
        return false;
    }
    if (!unpacked) *why = "7z encoded header damaged";
    return unpacked;
}

}  // namespace

bool CheckSevenZipHeader(const std::uint8_t* data, std::size_t size,
                         const SevenZipHeaderLimits& limits, std::string* why) {
    const CArchiveSource source(data, static_cast<std::int64_t>(size));
    return CheckSevenZipHeader(source, limits, why);
}

bool CheckSevenZipHeader(const CArchiveSource& source, const SevenZipHeaderLimits& limits,
                         std::string* why) {
    why->clear();
    std::uint8_t start[kSignatureHeaderSize];
    if (!source.Valid() || !source.ReadAt(0, start, sizeof start) ||
        std::memcmp(start, kSignature, 6) != 0) {
        *why = "not a 7z archive";
        return false;
    }
    if (start[6] != 0) {
        *why = "7z format version " + std::to_string(start[6]) + " not read here";
        return false;
    }
    const std::uint64_t offset = Le64(start + 12);
    const std::uint64_t length = Le64(start + 20);
    const std::uint64_t room = static_cast<std::uint64_t>(source.Size()) - kSignatureHeaderSize;
    if (offset > room || length > room - offset) {
        *why = "7z header outside the archive";
        return false;
    }
    if (length == 0) return true;  // an empty archive
    if (length > limits.maxHeaderBytes) {
        *why = "7z header of " + std::to_string(length) + " bytes";
        return false;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    if (!source.ReadAt(static_cast<std::int64_t>(kSignatureHeaderSize + offset), bytes.data(),
                       bytes.size())) {
        *why = "7z header cannot be read";
        return false;
    }
    const std::uint8_t* header = bytes.data();
    StreamsInfo main;
    if (header[0] == kHeader) {
        HeaderWalk walk(header + 1, length - 1, limits, offset, why);
        return walk.Header(&main) && FoldersFit(main.folders, limits, why);
    }
    if (header[0] != kEncodedHeader) {
        *why = "7z header malformed";
        return false;
    }
    StreamsInfo encoded;
    HeaderWalk outer(header + 1, length - 1, limits, offset, why);
    if (!outer.StreamsInfo(&encoded) || !FoldersFit(encoded.folders, limits, why)) return false;
    std::vector<std::uint8_t> unpacked;
    if (!UnpackEncodedHeader(source, encoded, limits, &unpacked, why)) return false;
    if (unpacked[0] != kHeader) {
        *why = "7z encoded header malformed";
        return false;
    }
    HeaderWalk inner(unpacked.data() + 1, unpacked.size() - 1, limits, offset, why);
    return inner.Header(&main) && FoldersFit(main.folders, limits, why);
}
