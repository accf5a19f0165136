// Reading the version note from ELF files without running them: the real
// engine, hand-made files of the other class and byte order, and files that
// are cut short, garbage or not ELF at all.
#include "platform/file_version.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/engine_peer.h"
#include "tests/support/temp_folder.h"

namespace {

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A minimal ELF file: header, one PT_NOTE program header, one note; no
// section headers.
class ElfBuilder {
public:
    ElfBuilder(bool is64, bool bigEndian) : is64_(is64), big_(bigEndian) {}

    std::string Build(const std::string& owner, std::uint32_t type, const std::string& desc,
                      std::uint32_t descSize) const {
        const std::size_t headerSize = is64_ ? 64 : 52;
        const std::size_t phSize = is64_ ? 56 : 32;
        std::string note;
        Put(&note, static_cast<std::uint32_t>(owner.size() + 1), 4);
        Put(&note, descSize, 4);
        Put(&note, type, 4);
        note += owner + '\0';
        while (note.size() % 4) note.push_back('\0');
        note += desc;
        while (note.size() % 4) note.push_back('\0');

        std::string out =
            "\x7F"
            "ELF";
        out.push_back(is64_ ? 2 : 1);
        out.push_back(big_ ? 2 : 1);
        out.push_back(1);
        out.resize(16, '\0');
        Put(&out, 2, 2);                       // e_type
        Put(&out, is64_ ? 62 : 3, 2);          // e_machine
        Put(&out, 1, 4);                       // e_version
        Put(&out, 0, is64_ ? 8 : 4);           // e_entry
        Put(&out, headerSize, is64_ ? 8 : 4);  // e_phoff
        Put(&out, 0, is64_ ? 8 : 4);           // e_shoff
        Put(&out, 0, 4);                       // e_flags
        Put(&out, headerSize, 2);              // e_ehsize
        Put(&out, phSize, 2);                  // e_phentsize
        Put(&out, 1, 2);                       // e_phnum
        Put(&out, 0, 2);                       // e_shentsize
        Put(&out, 0, 2);                       // e_shnum
        Put(&out, 0, 2);                       // e_shstrndx
        const std::size_t noteAt = headerSize + phSize;
        Put(&out, 4, 4);  // PT_NOTE
        if (is64_) {
            Put(&out, 4, 4);  // p_flags
            Put(&out, noteAt, 8);
            Put(&out, 0, 8);
            Put(&out, 0, 8);
            Put(&out, note.size(), 8);
            Put(&out, note.size(), 8);
            Put(&out, 4, 8);
        } else {
            Put(&out, noteAt, 4);
            Put(&out, 0, 4);
            Put(&out, 0, 4);
            Put(&out, note.size(), 4);
            Put(&out, note.size(), 4);
            Put(&out, 4, 4);  // p_flags
            Put(&out, 4, 4);  // p_align
        }
        return out + note;
    }

private:
    void Put(std::string* out, std::uint64_t v, int width) const {
        for (int i = 0; i < width; ++i) {
            const int shift = big_ ? 8 * (width - 1 - i) : 8 * i;
            out->push_back(static_cast<char>((v >> shift) & 0xFF));
        }
    }

    bool is64_;
    bool big_;
};

TEST(ReadFileVersion, TheBuiltEngineCarriesTheConfiguredVersion) {
    EXPECT_EQ(plat::ReadFileVersion(ZK4_ENGINE_BIN), ZK4_ENGINE_VERSION);
}

TEST(ReadFileVersion, BothClassesAndByteOrdersThroughTheProgramHeaders) {
    TempFolder dir;
    for (bool is64 : {false, true}) {
        for (bool big : {false, true}) {
            const std::string path = dir.Path() + "f";
            Write(path, ElfBuilder(is64, big).Build("TLX", 1, std::string("1.2.3.4") + '\0', 8));
            EXPECT_EQ(plat::ReadFileVersion(path), "1.2.3.4") << is64 << big;
        }
    }
}

TEST(ReadFileVersion, NotesThatAreNotOursOrMalformedGiveNothing) {
    TempFolder dir;
    const std::string path = dir.Path() + "f";
    const ElfBuilder elf(true, false);
    const std::string v = std::string("9.9") + '\0';
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"another owner", elf.Build("GNU", 1, v, 4)},
        {"another type", elf.Build("TLX", 2, v, 4)},
        {"no terminating zero", elf.Build("TLX", 1, "9.99", 4)},
        {"descriptor past the region", elf.Build("TLX", 1, v, 4000)},
        {"text too long", elf.Build("TLX", 1, std::string(200, '7') + '\0', 201)},
    };
    for (const Case& c : cases) {
        Write(path, c.bytes);
        EXPECT_EQ(plat::ReadFileVersion(path), "") << c.name;
    }
}

TEST(ReadFileVersion, CutShortGarbageScriptsAndMissingFilesGiveNothing) {
    TempFolder dir;
    const std::string engine = ReadFileText(ZK4_ENGINE_BIN);
    ASSERT_GT(engine.size(), 4096u);
    const std::string path = dir.Path() + "f";

    Write(path, engine.substr(0, 64));
    EXPECT_EQ(plat::ReadFileVersion(path), "");
    // Cut in the middle: the section headers are gone; the program headers
    // may still lead to the note, but nothing may be read past the end.
    Write(path, engine.substr(0, engine.size() / 2));
    const std::string half = plat::ReadFileVersion(path);
    EXPECT_TRUE(half.empty() || half == ZK4_ENGINE_VERSION) << half;

    std::string garbage = engine.substr(0, 16);
    for (int i = 0; i < 8192; ++i) garbage.push_back(static_cast<char>((i * 7919) ^ (i >> 3)));
    Write(path, garbage);
    EXPECT_EQ(plat::ReadFileVersion(path), "");

    Write(path, "#!/bin/sh\necho 3.2.0.7\n");
    EXPECT_EQ(plat::ReadFileVersion(path), "");
    Write(path, std::string(100000, 'A'));
    EXPECT_EQ(plat::ReadFileVersion(path), "");
    EXPECT_EQ(plat::ReadFileVersion(dir.Path() + "missing"), "");
    EXPECT_EQ(plat::ReadFileVersion(dir.Path()), "");
}

}  // namespace
