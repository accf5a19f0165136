// report-server: a small report server for tests and for publishers who
// want to see what the program reports.
//
//   report-server [--port N] [--bind ADDRESS]
//
// Listens on ADDRESS (default 127.0.0.1) and port N (default 54547; 0 picks
// a free port). The first line on stdout is {"port":N} with the bound port;
// then every received record is one JSON line {"key":...,"url":...,
// "bytes":...}, flushed at once. Every report frame is answered with the
// reply frame (code 0). A client that sends anything but report frames, or
// a frame above 1 MiB, is disconnected. Ends on SIGINT or SIGTERM.
//
// Single-threaded poll() over plain POSIX sockets; a helper program, not
// part of the service.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "json_line.h"
#include "report_frames.h"

namespace {

constexpr int kDefaultPort = 54547;
constexpr std::size_t kMaxClients = 64;
// A client that sends nothing for this long is dropped, so that idle
// clients cannot hold every slot.
constexpr std::time_t kIdleSeconds = 120;
// Replies a client does not read pile up to at most this.
constexpr std::size_t kMaxPendingOutput = 64 * 1024;

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

struct Client {
    int fd = -1;
    std::string input;
    std::string output;
    std::time_t lastInput = 0;
};

struct Options {
    int port = kDefaultPort;
    std::string bind = "127.0.0.1";
};

void Usage(std::FILE* out) {
    std::fputs("usage: report-server [--port N] [--bind ADDRESS]\n", out);
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--port") {
            char* end = nullptr;
            long port = std::strtol(value, &end, 10);
            if (*value == '\0' || *end != '\0' || port < 0 || port > 65535) return false;
            options->port = static_cast<int>(port);
        } else if (arg == "--bind") {
            options->bind = value;
        } else {
            return false;
        }
    }
    return true;
}

int Listen(const Options& options) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    if (inet_pton(AF_INET, options.bind.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "report-server: not an IPv4 address: %s\n", options.bind.c_str());
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A restarted server must get its port back while old connections linger.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0) {
        std::fprintf(stderr, "report-server: cannot listen on %s:%d: %s\n", options.bind.c_str(),
                     options.port, std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

int BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    return ntohs(address.sin_port);
}

void PrintLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Takes every whole report frame from the client's input, prints its
// records and queues one reply per frame. False when the client must go.
bool ServeInput(Client* client) {
    std::size_t taken = 0;
    for (;;) {
        std::vector<ReceivedRecord> records;
        std::size_t size = 0;
        const std::string_view rest = std::string_view(client->input).substr(taken);
        const FrameRead read = ReadReport(rest, &size, &records);
        if (read == FrameRead::kGarbage) return false;
        if (read == FrameRead::kNeedMore) break;
        for (const ReceivedRecord& record : records)
            PrintLine(RecordJsonLine(record.key, record.url, record.bytes));
        client->output += ReplyFrame(0);
        taken += size;
    }
    client->input.erase(0, taken);
    return client->output.size() <= kMaxPendingOutput;
}

// Reads what is there; false on end of stream, error or garbage.
bool ReadClient(Client* client) {
    char buffer[16 * 1024];
    const ssize_t n = recv(client->fd, buffer, sizeof buffer, 0);
    if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EINTR);
    client->input.append(buffer, static_cast<std::size_t>(n));
    client->lastInput = std::time(nullptr);
    return ServeInput(client);
}

bool WriteClient(Client* client) {
    const ssize_t n = send(client->fd, client->output.data(), client->output.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    client->output.erase(0, static_cast<std::size_t>(n));
    return true;
}

void AcceptClient(int listenFd, std::vector<Client>* clients) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (clients->size() >= kMaxClients) {
        close(fd);
        return;
    }
    clients->push_back(Client{fd, {}, {}, std::time(nullptr)});
}

void Serve(int listenFd) {
    std::vector<Client> clients;
    while (!g_stop) {
        std::vector<pollfd> fds{{listenFd, POLLIN, 0}};
        for (const Client& client : clients)
            fds.push_back({client.fd, short(POLLIN | (client.output.empty() ? 0 : POLLOUT)), 0});
        if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;

        const std::time_t now = std::time(nullptr);
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& client = clients[i];
            const short events = fds[i + 1].revents;
            bool keep = true;
            if (events & (POLLIN | POLLHUP | POLLERR)) keep = ReadClient(&client);
            // Replies go out as soon as they exist; POLLOUT only covers the rest.
            if (keep && !client.output.empty()) keep = WriteClient(&client);
            if (keep && now - client.lastInput > kIdleSeconds) keep = false;
            if (keep) {
                kept.push_back(std::move(client));
            } else {
                close(client.fd);
            }
        }
        clients = std::move(kept);
        if (fds[0].revents & POLLIN) AcceptClient(listenFd, &clients);
    }
    for (const Client& client : clients) close(client.fd);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage(stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    const int listenFd = Listen(options);
    if (listenFd < 0) return 1;
    PrintLine("{\"port\":" + std::to_string(BoundPort(listenFd)) + "}");
    Serve(listenFd);
    close(listenFd);
    return 0;
}
