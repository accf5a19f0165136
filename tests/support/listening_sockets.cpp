#include "tests/support/listening_sockets.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

namespace {

// The inodes of the sockets among `pid`'s descriptors ("socket:[12345]").
std::set<std::string> SocketInodes(pid_t pid) {
    std::set<std::string> inodes;
    std::error_code ec;
    std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", ec);
    for (; !ec && fds != std::filesystem::directory_iterator(); fds.increment(ec)) {
        std::error_code linkError;
        std::string target = std::filesystem::read_symlink(fds->path(), linkError).string();
        if (!linkError && target.rfind("socket:[", 0) == 0 && target.back() == ']')
            inodes.insert(target.substr(8, target.size() - 9));
    }
    return inodes;
}

// The whitespace-separated fields of each line of a /proc/<pid>/net table
// (the heading skipped), until `match` accepts one.
template <class Match>
bool AnyRow(pid_t pid, const std::string& table, Match match) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> row;
        for (std::string field; fields >> field;) row.push_back(field);
        if (match(row)) return true;
    }
    return false;
}

}  // namespace

bool ListensOnTcp(pid_t pid, int port) {
    // /proc/<pid>/net is the table of the process's own network namespace.
    // Fields: sl, local address:port (hex), remote, state (0A is LISTEN), ...,
    // inode tenth.
    std::set<std::string> inodes = SocketInodes(pid);
    if (inodes.empty()) return false;
    return AnyRow(pid, "tcp", [&](const std::vector<std::string>& row) {
        if (row.size() < 10 || row[3] != "0A") return false;
        std::size_t colon = row[1].find(':');
        if (colon == std::string::npos) return false;
        return std::stoi(row[1].substr(colon + 1), nullptr, 16) == port && inodes.count(row[9]);
    });
}

bool ListensOnUnix(pid_t pid, const std::string& path) {
    // Fields: slot, refcount, protocol, flags (0x10000 is a listening socket),
    // type, state, inode, path.
    std::set<std::string> inodes = SocketInodes(pid);
    if (inodes.empty()) return false;
    return AnyRow(pid, "unix", [&](const std::vector<std::string>& row) {
        return row.size() >= 8 && (std::stoul(row[3], nullptr, 16) & 0x10000) != 0 &&
               row[7] == path && inodes.count(row[6]);
    });
}
