#include "piece_state.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace engine {
namespace {

constexpr const char* kMagic = "zk4-piece-state 1";
// A state file far larger than any real one is not read.
constexpr std::size_t kMaxStateBytes = 4u << 20;

std::string Hex(const std::vector<bool>& bits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t byte = 0; byte * 8 < bits.size(); ++byte) {
        unsigned value = 0;
        for (std::size_t bit = 0; bit < 8; ++bit) {
            const std::size_t i = byte * 8 + bit;
            if (i < bits.size() && bits[i]) value |= 0x80u >> bit;
        }
        out += kDigits[value >> 4];
        out += kDigits[value & 15];
    }
    return out;
}

bool FromHex(const std::string& text, std::size_t count, std::vector<bool>* bits) {
    if (text.size() != (count + 7) / 8 * 2) return false;
    bits->assign(count, false);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = 0; j < 2; ++j) {
            const char c = text[i + j];
            unsigned digit = 0;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else
                return false;
            value = value * 16 + digit;
        }
        for (std::size_t bit = 0; bit < 8; ++bit) {
            const std::size_t piece = i / 2 * 8 + bit;
            const bool set = (value & (0x80u >> bit)) != 0;
            if (piece >= count) {
                if (set) return false;  // bits past the last piece
                continue;
            }
            (*bits)[piece] = set;
        }
    }
    return true;
}

bool IsHex40(const std::string& text) {
    if (text.size() != 40) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

int PieceState::PieceCount() const {
    if (pieceLength <= 0 || size <= 0) return 0;
    return static_cast<int>((size + pieceLength - 1) / pieceLength);
}

std::int64_t PieceState::PieceSize(int piece) const {
    if (piece < 0 || piece >= PieceCount()) return 0;
    const std::int64_t start = static_cast<std::int64_t>(piece) * pieceLength;
    return std::min(pieceLength, size - start);
}

std::int64_t PieceState::LeadingBytes() const {
    std::int64_t bytes = 0;
    for (int i = 0; i < PieceCount() && i < static_cast<int>(have.size()) && have[i]; ++i)
        bytes += PieceSize(i);
    return bytes;
}

std::int64_t PieceState::HaveBytes() const {
    std::int64_t bytes = 0;
    for (int i = 0; i < PieceCount() && i < static_cast<int>(have.size()); ++i)
        if (have[i]) bytes += PieceSize(i);
    return bytes;
}

std::string PieceStatePathOf(const std::string& partPath) { return partPath + ".pieces"; }

std::string EncodePieceState(const PieceState& state) {
    std::ostringstream out;
    out << kMagic << "\n"
        << "state " << (state.stopped ? "stopped" : "running") << "\n"
        << "info-hash " << state.infoHash << "\n"
        << "size " << state.size << "\n"
        << "piece-length " << state.pieceLength << "\n"
        << "leading " << state.LeadingBytes() << "\n"
        << "have " << Hex(state.have) << "\n"
        << "servers " << Hex(state.fromServers) << "\n";
    return out.str();
}

bool DecodePieceState(const std::string& text, PieceState* state) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic) return false;
    PieceState read;
    std::string have, servers, stateWord;
    std::int64_t leading = -1;
    int fields = 0;
    while (std::getline(in, line)) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) return false;
        const std::string key = line.substr(0, space);
        const std::string value = line.substr(space + 1);
        try {
            if (key == "state") {
                stateWord = value;
            } else if (key == "info-hash") {
                read.infoHash = value;
            } else if (key == "size") {
                read.size = std::stoll(value);
            } else if (key == "piece-length") {
                read.pieceLength = std::stoll(value);
            } else if (key == "leading") {
                leading = std::stoll(value);
            } else if (key == "have") {
                have = value;
            } else if (key == "servers") {
                servers = value;
            } else {
                return false;
            }
        } catch (...) {
            return false;  // a number that is none
        }
        ++fields;
    }
    if (fields != 7 || (stateWord != "stopped" && stateWord != "running") || !IsHex40(read.infoHash) ||
        read.size <= 0 || read.pieceLength < 16384 || (read.pieceLength & (read.pieceLength - 1)) != 0)
        return false;
    read.stopped = stateWord == "stopped";
    const std::size_t count = static_cast<std::size_t>(read.PieceCount());
    if (!FromHex(have, count, &read.have) || !FromHex(servers, count, &read.fromServers))
        return false;
    for (std::size_t i = 0; i < count; ++i)
        if (read.fromServers[i] && !read.have[i]) return false;
    if (leading != read.LeadingBytes()) return false;
    *state = std::move(read);
    return true;
}

bool SavePieceState(const std::string& partPath, const PieceState& state) {
    const std::string path = PieceStatePathOf(partPath);
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << EncodePieceState(state);
        if (!out.flush()) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool LoadPieceState(const std::string& partPath, PieceState* state) {
    std::ifstream in(PieceStatePathOf(partPath), std::ios::binary);
    if (!in) return false;
    std::string text;
    text.resize(kMaxStateBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxStateBytes) return false;
    return DecodePieceState(text, state);
}

void RemovePieceState(const std::string& partPath) {
    (void)std::remove(PieceStatePathOf(partPath).c_str());
}

bool PrepareForHttpResume(const std::string& partPath, std::string* note) {
    struct stat st {};
    if (stat(PieceStatePathOf(partPath).c_str(), &st) != 0) return true;
    PieceState state;
    const bool usable = LoadPieceState(partPath, &state) && state.stopped;
    const std::int64_t keep = usable ? state.LeadingBytes() : 0;
    struct stat part {};
    if (stat(partPath.c_str(), &part) == 0 && part.st_size > keep &&
        truncate(partPath.c_str(), keep) != 0)
        return false;
    RemovePieceState(partPath);
    if (note)
        *note = usable ? "kept the " + std::to_string(keep) + " bytes verified from its start"
                       : "its pieces were not known to be on disk; starting it over";
    return true;
}

}  // namespace engine
