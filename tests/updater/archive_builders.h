// Archives and engine files made for the updater's tests: 7z through
// libarchive's writer, zip through minizip's writer (both let a test write
// names and entry types no well-behaved tool would), an ELF file carrying
// a version note, and a snapshot of a folder tree to prove that a refused
// install changed nothing.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/folder_tree.h"

namespace updater_test {

struct Item {
    enum Type { kFile, kFolder, kLink };
    std::string name;
    std::string data;
    Type type = kFile;
    unsigned mode = 0644;
    std::int64_t mtime = 0;  // 0: not set
    std::string linkTarget;
};

inline Item File(std::string name, std::string data, unsigned mode = 0644) {
    return {std::move(name), std::move(data), Item::kFile, mode, 0, ""};
}
inline Item Folder(std::string name) {
    return {std::move(name), "", Item::kFolder, 0755, 0, ""};
}
inline Item Link(std::string name, std::string target) {
    return {std::move(name), "", Item::kLink, 0777, 0, std::move(target)};
}

inline std::string Make7z(const std::vector<Item>& items) {
    std::string out;
    archive* a = archive_write_new();
    archive_write_set_format_7zip(a);
    archive_write_set_bytes_in_last_block(a, 1);  // no padding: a cut must cut the archive
    auto write = [](archive*, void* client, const void* buffer, size_t length) -> la_ssize_t {
        static_cast<std::string*>(client)->append(static_cast<const char*>(buffer), length);
        return static_cast<la_ssize_t>(length);
    };
    archive_write_open(a, &out, nullptr, write, nullptr);
    for (const Item& item : items) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, item.name.c_str());
        if (item.type == Item::kFolder) {
            archive_entry_set_filetype(e, AE_IFDIR);
        } else if (item.type == Item::kLink) {
            archive_entry_set_filetype(e, AE_IFLNK);
            archive_entry_set_symlink(e, item.linkTarget.c_str());
        } else {
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_size(e, static_cast<la_int64_t>(item.data.size()));
        }
        archive_entry_set_perm(e, item.mode);
        if (item.mtime) archive_entry_set_mtime(e, item.mtime, 0);
        archive_write_header(a, e);
        if (item.type == Item::kFile && !item.data.empty())
            archive_write_data(a, item.data.data(), item.data.size());
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct ZipItem {
    std::string name{};
    std::string data{};
    unsigned long versionMadeBy = 20;  // high byte 0: MS-DOS
    unsigned long externalAttributes = 0;
    tm_zip date{6, 4, 3, 2, 0, 2020};  // 2020-01-02 03:04:06 local time
    std::string centralExtra{};        // e.g. a "UT" block
    const char* password = nullptr;
    bool utf8Flag = false;
    int method = Z_DEFLATED;
};

// Made in `scratch` (a folder path ending with "/") and read back.
inline std::string MakeZip(const std::string& scratch, const std::vector<ZipItem>& items) {
    const std::string path = scratch + "made.zip";
    zipFile z = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    for (const ZipItem& item : items) {
        zip_fileinfo info{};
        info.tmz_date = item.date;
        info.external_fa = item.externalAttributes;
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(item.data.data()),
                                static_cast<uInt>(item.data.size()));
        zipOpenNewFileInZip4_64(z, item.name.c_str(), &info, nullptr, 0,
                                item.centralExtra.empty() ? nullptr : item.centralExtra.data(),
                                static_cast<uInt>(item.centralExtra.size()), nullptr, item.method,
                                Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                Z_DEFAULT_STRATEGY, item.password, crc, item.versionMadeBy,
                                item.utf8Flag ? 0x800 : 0, 0);
        if (!item.data.empty())
            zipWriteInFileInZip(z, item.data.data(), static_cast<unsigned>(item.data.size()));
        zipCloseFileInZip(z);
    }
    zipClose(z, nullptr);
    std::string bytes = ReadFile(path);
    std::remove(path.c_str());
    return bytes;
}

// An "UT" extended-timestamp block for the central directory.
inline std::string UtBlock(std::uint8_t flags, const std::vector<std::uint32_t>& times) {
    std::string b = "UT";
    const std::size_t length = 1 + 4 * times.size();
    b.push_back(static_cast<char>(length & 0xFF));
    b.push_back(static_cast<char>(length >> 8));
    b.push_back(static_cast<char>(flags));
    for (std::uint32_t t : times)
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((t >> (8 * i)) & 0xFF));
    return b;
}

// A 64-bit little-endian ELF file whose only content is the version note.
// A copy of the built engine program `program` that calls itself
// `version` (in its note and in its answer to --version, which read the
// same bytes). The version must be as long as the one built in; "" when it
// is not or the note cannot be found.
inline std::string EngineOfVersion(const std::string& program, const std::string& version) {
    std::ifstream in(program, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string head = std::string("\x04\0\0\0", 4);
    const std::string owner = std::string("\x01\0\0\0TLX\0", 8);
    for (std::size_t at = bytes.find(owner); at != std::string::npos;
         at = bytes.find(owner, at + 1)) {
        if (at < 8 || bytes.compare(at - 8, 4, head) != 0) continue;
        const std::size_t length = static_cast<unsigned char>(bytes[at - 4]);
        if (length != version.size() + 1) return "";
        bytes.replace(at + owner.size(), version.size(), version);
        return bytes;
    }
    return "";
}

inline std::string ElfWithVersion(const std::string& version) {
    auto put = [](std::string* out, std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    std::string note;
    put(&note, 4, 4);
    put(&note, version.size() + 1, 4);
    put(&note, 1, 4);
    note += std::string("TLX") + '\0';
    note += version + '\0';
    while (note.size() % 4) note.push_back('\0');
    std::string out =
        "\x7F"
        "ELF";
    out += std::string{2, 1, 1};
    out.resize(16, '\0');
    put(&out, 2, 2);
    put(&out, 62, 2);
    put(&out, 1, 4);
    put(&out, 0, 8);
    put(&out, 64, 8);  // e_phoff
    put(&out, 0, 8);
    put(&out, 0, 4);
    put(&out, 64, 2);
    put(&out, 56, 2);
    put(&out, 1, 2);
    put(&out, 0, 2);
    put(&out, 0, 2);
    put(&out, 0, 2);
    put(&out, 4, 4);  // PT_NOTE
    put(&out, 4, 4);
    put(&out, 120, 8);
    put(&out, 0, 8);
    put(&out, 0, 8);
    put(&out, note.size(), 8);
    put(&out, note.size(), 8);
    put(&out, 4, 8);
    return out + note;
}

// Every path below `top` with its kind, permissions and contents.
inline std::map<std::string, std::string> Snapshot(const std::string& top) {
    std::map<std::string, std::string> shot;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string rel = pending.back();
        pending.pop_back();
        std::vector<plat::FolderEntry> entries;
        if (!plat::ListFolder(top + rel, &entries)) continue;
        for (const auto& e : entries) {
            const std::string path = rel + e.name;
            struct stat st {};
            lstat((top + path).c_str(), &st);
            std::string value =
                std::to_string(static_cast<int>(e.kind)) + ":" + std::to_string(st.st_mode & 07777);
            // A folder's own time moves whenever a name inside comes and
            // goes (the staging folder beside the engine does); a file's not.
            if (e.kind == plat::PathKind::kFile)
                value += ":" + std::to_string(static_cast<long long>(st.st_mtime)) + ":" +
                         ReadFile(top + path);
            shot[path] = value;
            if (e.kind == plat::PathKind::kFolder) pending.push_back(path + "/");
        }
    }
    return shot;
}

inline const std::uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

}  // namespace updater_test
