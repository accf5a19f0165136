#include "platform/socket_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <functional>
#include <string>
#include <vector>

namespace plat {
namespace {

constexpr std::size_t kMaxLine = 512;
constexpr std::size_t kMaxTableBytes = 64u * 1024 * 1024;
constexpr unsigned kStateListen = 0x0A;
// Entries in these states belong to no process (the kernel lists them
// under uid 0), so they cannot tell who holds a connection.
constexpr unsigned kStateSynRecv = 0x03;
constexpr unsigned kStateTimeWait = 0x06;
constexpr unsigned kStateClose = 0x07;

struct TcpEntry {
    TcpEndpoint local;
    TcpEndpoint remote;
    unsigned state = 0;
    std::uint32_t uid = 0;
    std::uint64_t inode = 0;  // 0 when the line does not give one
};

// Splits off the next field separated by spaces.
std::string_view NextField(std::string_view* line) {
    std::size_t start = line->find_first_not_of(' ');
    if (start == std::string_view::npos) {
        *line = {};
        return {};
    }
    std::size_t end = line->find(' ', start);
    std::string_view field = line->substr(start, end == std::string_view::npos ? end : end - start);
    *line = end == std::string_view::npos ? std::string_view{} : line->substr(end);
    return field;
}

template <class T>
bool ParseNumber(std::string_view text, int base, T* out) {
    if (text.empty()) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *out, base);
    return error == std::errc() && end == text.data() + text.size();
}

// "0100007F:9476": the address as the kernel prints the 32-bit word in
// memory (so it equals s_addr on this host), then the port in hex.
bool ParseEndpoint(std::string_view text, TcpEndpoint* out) {
    std::size_t colon = text.find(':');
    if (colon != 8 || text.size() != 13) return false;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    if (!ParseNumber(text.substr(0, 8), 16, &address) || !ParseNumber(text.substr(9), 16, &port))
        return false;
    out->addressNet = address;
    out->port = port;
    return true;
}

// One table line: "sl local rem st tx:rx tr:when retrnsmt uid timeout
// inode ...". The heading and anything that does not parse give false.
bool ParseEntry(std::string_view line, TcpEntry* entry) {
    std::string_view slot = NextField(&line);
    if (slot.empty() || slot.back() != ':') return false;
    if (!ParseEndpoint(NextField(&line), &entry->local)) return false;
    if (!ParseEndpoint(NextField(&line), &entry->remote)) return false;
    if (!ParseNumber(NextField(&line), 16, &entry->state)) return false;
    NextField(&line);  // tx_queue:rx_queue
    NextField(&line);  // tr:tm->when
    NextField(&line);  // retrnsmt
    if (!ParseNumber(NextField(&line), 10, &entry->uid)) return false;
    NextField(&line);  // timeout
    if (!ParseNumber(NextField(&line), 10, &entry->inode)) entry->inode = 0;
    return true;
}

// Calls `visit` for each parsed line of the text.
void ForEachEntry(std::string_view table, const std::function<void(const TcpEntry&)>& visit) {
    while (!table.empty()) {
        std::size_t end = table.find('\n');
        std::string_view line = table.substr(0, end);
        table = end == std::string_view::npos ? std::string_view{} : table.substr(end + 1);
        TcpEntry entry;
        if (line.size() <= kMaxLine && ParseEntry(line, &entry)) visit(entry);
    }
}

// Reads the live table piecewise, handing whole lines to `visit`; a line
// longer than kMaxLine is dropped rather than buffered.
bool ForEachLiveEntry(const std::function<void(const TcpEntry&)>& visit) {
    int fd = open("/proc/net/tcp", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string carry;
    bool skipping = false;
    char buffer[16 * 1024];
    std::size_t total = 0;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
        std::string_view chunk(buffer, static_cast<std::size_t>(n));
        while (!chunk.empty()) {
            std::size_t end = chunk.find('\n');
            if (end == std::string_view::npos) {
                if (!skipping) carry.append(chunk);
                if (carry.size() > kMaxLine) {
                    carry.clear();
                    skipping = true;
                }
                break;
            }
            if (!skipping) {
                carry.append(chunk.substr(0, end));
                ForEachEntry(carry, visit);
            }
            carry.clear();
            skipping = false;
            chunk.remove_prefix(end + 1);
        }
        if (total >= kMaxTableBytes) break;
    }
    close(fd);
    if (!skipping && !carry.empty()) ForEachEntry(carry, visit);
    return true;
}

// Keeps the one uid that every match agrees on.
class UidVote {
public:
    void Add(std::uint32_t uid) {
        if (count_ > 0 && uid != uid_) conflict_ = true;
        uid_ = uid;
        ++count_;
    }
    bool Result(std::uint32_t* uid) const {
        if (count_ == 0 || conflict_) return false;
        *uid = uid_;
        return true;
    }

private:
    std::uint32_t uid_ = 0;
    int count_ = 0;
    bool conflict_ = false;
};

bool ListensOnLoopback(const TcpEntry& entry, std::uint16_t port) {
    const bool loopbackOrAny =
        entry.local.addressNet == htonl(INADDR_LOOPBACK) || entry.local.addressNet == 0;
    return entry.state == kStateListen && entry.local.port == port && loopbackOrAny;
}

std::function<void(const TcpEntry&)> ListenerVisitor(std::uint16_t port, UidVote* vote) {
    return [port, vote](const TcpEntry& entry) {
        if (ListensOnLoopback(entry, port)) vote->Add(entry.uid);
    };
}

// The socket inodes listening on the loopback port.
std::vector<std::uint64_t> ListenerInodes(std::uint16_t port) {
    std::vector<std::uint64_t> inodes;
    (void)ForEachLiveEntry([port, &inodes](const TcpEntry& entry) {
        if (ListensOnLoopback(entry, port) && entry.inode != 0) inodes.push_back(entry.inode);
    });
    return inodes;
}

// Whether one of the process's descriptors is one of the sockets. A process
// of another user (or one that ended) cannot be looked into: false.
bool ProcessHoldsSocket(const std::string& pidText, const std::vector<std::uint64_t>& inodes) {
    const std::string folder = "/proc/" + pidText + "/fd";
    DIR* fds = opendir(folder.c_str());
    if (!fds) return false;
    bool found = false;
    char target[64];
    while (!found) {
        const dirent* entry = readdir(fds);
        if (!entry) break;
        if (entry->d_name[0] == '.') continue;
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string_view text(target, static_cast<std::size_t>(n));
        // "socket:[12345]"
        if (!text.starts_with("socket:[") || !text.ends_with("]")) continue;
        std::uint64_t inode = 0;
        if (!ParseNumber(text.substr(8, text.size() - 9), 10, &inode)) continue;
        for (std::uint64_t wanted : inodes) found = found || inode == wanted;
    }
    closedir(fds);
    return found;
}

std::function<void(const TcpEntry&)> ConnectionVisitor(const TcpEndpoint& local,
                                                       const TcpEndpoint& remote, UidVote* vote) {
    return [local, remote, vote](const TcpEntry& entry) {
        // The peer may have sent its data and closed already (FIN_WAIT and
        // the like still name their owner); ownerless states do not count.
        const bool owned = entry.state != kStateListen && entry.state != kStateSynRecv &&
                           entry.state != kStateTimeWait && entry.state != kStateClose;
        if (owned && entry.local.addressNet == local.addressNet && entry.local.port == local.port &&
            entry.remote.addressNet == remote.addressNet && entry.remote.port == remote.port)
            vote->Add(entry.uid);
    };
}

}  // namespace

bool ParseListenerUid(std::string_view table, std::uint16_t port, std::uint32_t* uid) {
    UidVote vote;
    ForEachEntry(table, ListenerVisitor(port, &vote));
    return vote.Result(uid);
}

bool ParseConnectionUid(std::string_view table, const TcpEndpoint& local, const TcpEndpoint& remote,
                        std::uint32_t* uid) {
    UidVote vote;
    ForEachEntry(table, ConnectionVisitor(local, remote, &vote));
    return vote.Result(uid);
}

bool LoopbackListenerUid(std::uint16_t port, std::uint32_t* uid) {
    UidVote vote;
    if (!ForEachLiveEntry(ListenerVisitor(port, &vote))) return false;
    return vote.Result(uid);
}

std::uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool ProcessListensOnLoopback(int pid, std::uint16_t port) {
    if (pid <= 0) return false;
    const std::vector<std::uint64_t> inodes = ListenerInodes(port);
    return !inodes.empty() && ProcessHoldsSocket(std::to_string(pid), inodes);
}

bool LoopbackListenerProcess(std::uint16_t port, int* pid) {
    const std::vector<std::uint64_t> inodes = ListenerInodes(port);
    if (inodes.empty()) return false;
    DIR* processes = opendir("/proc");
    if (!processes) return false;
    bool found = false;
    while (!found) {
        const dirent* entry = readdir(processes);
        if (!entry) break;
        int number = 0;
        if (!ParseNumber(std::string_view(entry->d_name), 10, &number) || number <= 0) continue;
        if (ProcessHoldsSocket(entry->d_name, inodes)) {
            *pid = number;
            found = true;
        }
    }
    closedir(processes);
    return found;
}

bool TcpConnectionUid(const TcpEndpoint& local, const TcpEndpoint& remote, std::uint32_t* uid) {
    UidVote vote;
    if (!ForEachLiveEntry(ConnectionVisitor(local, remote, &vote))) return false;
    return vote.Result(uid);
}

}  // namespace plat
