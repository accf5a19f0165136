#include "platform/file_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace plat {
namespace {

constexpr std::uint64_t kMaxNoteBytes = 64 * 1024;
constexpr std::uint32_t kShtNote = 7;
constexpr std::uint32_t kPtNote = 4;
// More section or program headers than this is not a program of ours.
constexpr std::uint32_t kMaxHeaders = 4096;

// An open file with its size; every read is checked against that size.
class ElfFile {
public:
    explicit ElfFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
            size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ~ElfFile() {
        if (fd_ >= 0) close(fd_);
    }
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;

    std::uint64_t Size() const { return size_; }

    bool Read(std::uint64_t offset, void* out, std::uint64_t length) const {
        if (fd_ < 0 || offset > size_ || length > size_ - offset) return false;
        auto* bytes = static_cast<std::uint8_t*>(out);
        while (length > 0) {
            ssize_t n = pread(fd_, bytes, length, static_cast<off_t>(offset));
            if (n <= 0) return false;
            bytes += n;
            offset += static_cast<std::uint64_t>(n);
            length -= static_cast<std::uint64_t>(n);
        }
        return true;
    }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Reads ELF fields in the file's own byte order and class.
struct Layout {
    bool is64 = false;
    bool bigEndian = false;

    std::uint64_t Get(const std::uint8_t* p, int width) const {
        std::uint64_t v = 0;
        for (int i = 0; i < width; ++i) {
            int index = bigEndian ? i : width - 1 - i;
            v = (v << 8) | p[index];
        }
        return v;
    }
    std::uint64_t U16(const std::uint8_t* p) const { return Get(p, 2); }
    std::uint64_t U32(const std::uint8_t* p) const { return Get(p, 4); }
    // An address or offset: 32 or 64 bits by class.
    std::uint64_t Word(const std::uint8_t* p) const { return Get(p, is64 ? 8 : 4); }
};

struct NoteRegion {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t align = 4;
};

std::uint64_t AlignUp(std::uint64_t v, std::uint64_t align) {
    return (v + align - 1) / align * align;
}

// Walks the notes of one region; true with *version when ours is found.
bool FindInNotes(const Layout& layout, const std::vector<std::uint8_t>& notes, std::uint64_t align,
                 std::string* version) {
    std::uint64_t at = 0;
    while (notes.size() >= 12 && at <= notes.size() - 12) {
        const std::uint64_t nameSize = layout.U32(&notes[at]);
        const std::uint64_t descSize = layout.U32(&notes[at + 4]);
        const std::uint64_t type = layout.U32(&notes[at + 8]);
        const std::uint64_t nameAt = at + 12;
        const std::uint64_t descAt = nameAt + AlignUp(nameSize, align);
        if (descAt > notes.size() || descSize > notes.size() - descAt) return false;
        const char* name = reinterpret_cast<const char*>(&notes[nameAt]);
        if (type == kFileVersionNoteType && nameSize == 4 && std::memcmp(name, "TLX", 4) == 0) {
            const char* desc = reinterpret_cast<const char*>(&notes[descAt]);
            const void* end = std::memchr(desc, '\0', descSize);
            if (!end) return false;
            const auto length = static_cast<std::size_t>(static_cast<const char*>(end) - desc);
            if (length == 0 || length > kMaxFileVersionLength) return false;
            version->assign(desc, length);
            return true;
        }
        at = descAt + AlignUp(descSize, align);
    }
    return false;
}

// Collects SHT_NOTE sections, then PT_NOTE segments, as regions.
std::vector<NoteRegion> NoteRegions(const ElfFile& file, const Layout& layout,
                                    const std::uint8_t* header) {
    std::vector<NoteRegion> regions;
    // Section headers: e_shoff, e_shentsize, e_shnum.
    const std::uint64_t shOff = layout.Word(header + (layout.is64 ? 0x28 : 0x20));
    const std::uint64_t shEntSize = layout.U16(header + (layout.is64 ? 0x3A : 0x2E));
    const std::uint64_t shNum = layout.U16(header + (layout.is64 ? 0x3C : 0x30));
    const std::uint64_t minShEnt = layout.is64 ? 0x40 : 0x28;
    if (shOff != 0 && shNum <= kMaxHeaders && shEntSize >= minShEnt && shEntSize <= 256) {
        std::vector<std::uint8_t> entry(shEntSize);
        for (std::uint64_t i = 0; i < shNum; ++i) {
            if (!file.Read(shOff + i * shEntSize, entry.data(), shEntSize)) break;
            if (layout.U32(&entry[4]) != kShtNote) continue;
            const std::uint8_t* e = entry.data();
            NoteRegion region;
            region.offset = layout.Word(e + (layout.is64 ? 0x18 : 0x10));
            region.size = layout.Word(e + (layout.is64 ? 0x20 : 0x14));
            region.align = layout.Word(e + (layout.is64 ? 0x30 : 0x20));
            regions.push_back(region);
        }
    }
    // Program headers: e_phoff, e_phentsize, e_phnum.
    const std::uint64_t phOff = layout.Word(header + (layout.is64 ? 0x20 : 0x1C));
    const std::uint64_t phEntSize = layout.U16(header + (layout.is64 ? 0x36 : 0x2A));
    const std::uint64_t phNum = layout.U16(header + (layout.is64 ? 0x38 : 0x2C));
    const std::uint64_t minPhEnt = layout.is64 ? 0x38 : 0x20;
    if (phOff != 0 && phNum <= kMaxHeaders && phEntSize >= minPhEnt && phEntSize <= 256) {
        std::vector<std::uint8_t> entry(phEntSize);
        for (std::uint64_t i = 0; i < phNum; ++i) {
            if (!file.Read(phOff + i * phEntSize, entry.data(), phEntSize)) break;
            if (layout.U32(&entry[0]) != kPtNote) continue;
            const std::uint8_t* e = entry.data();
            NoteRegion region;
            region.offset = layout.Word(e + (layout.is64 ? 0x08 : 0x04));
            region.size = layout.Word(e + (layout.is64 ? 0x20 : 0x10));
            region.align = layout.Word(e + (layout.is64 ? 0x30 : 0x1C));
            regions.push_back(region);
        }
    }
    return regions;
}

}  // namespace

std::string ReadFileVersion(const std::string& path) {
    ElfFile file(path);
    std::uint8_t header[64] = {};
    if (file.Size() < 52 || !file.Read(0, header, file.Size() < 64 ? 52 : 64)) return "";
    if (std::memcmp(header,
                    "\x7F"
                    "ELF",
                    4) != 0)
        return "";
    Layout layout;
    if (header[4] != 1 && header[4] != 2) return "";
    if (header[5] != 1 && header[5] != 2) return "";
    layout.is64 = header[4] == 2;
    layout.bigEndian = header[5] == 2;
    if (layout.is64 && file.Size() < 64) return "";

    std::uint64_t budget = kMaxNoteBytes;
    for (const NoteRegion& region : NoteRegions(file, layout, header)) {
        if (region.size == 0 || region.size > budget) continue;
        budget -= region.size;
        std::vector<std::uint8_t> notes(region.size);
        if (!file.Read(region.offset, notes.data(), region.size)) continue;
        // Notes are 4-byte aligned unless their region says 8.
        const std::uint64_t align = region.align == 8 ? 8 : 4;
        std::string version;
        if (FindInNotes(layout, notes, align, &version)) return version;
    }
    return "";
}

}  // namespace plat
