#include "tests/support/proxy_island.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/listening_sockets.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/wait_for.h"

extern char** environ;

namespace {

constexpr const char* kUnshare = "/usr/bin/unshare";
constexpr const char* kNsenter = "/usr/bin/nsenter";
constexpr const char* kTinyproxy = "/usr/bin/tinyproxy";
constexpr const char* kSocat = "/usr/bin/socat";
constexpr const char* kCat = "/bin/cat";
constexpr const char* kTrue = "/bin/true";
// Generous, for a loaded machine; start-up normally takes a few tens of ms.
constexpr int kStartMs = 10000;

// How this process may make a network namespace: directly (root, or
// CAP_SYS_ADMIN) or inside a user namespace of its own, in which case the
// island's programs enter that user namespace as well. The user namespace
// maps this user to itself (unshare -c), not to root (-r): nginx started as
// root chowns its temporary folders to "nobody", who has no id in there.
enum class NamespaceMode { kNone, kPlain, kUser };

pid_t SpawnArgs(const std::vector<std::string>& args, const std::string& output, int stdinFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

NamespaceMode DetectNamespaceMode() {
    auto succeeds = [](const std::vector<std::string>& args) {
        pid_t pid = SpawnArgs(args, "/dev/null", -1);
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    };
    if (succeeds({kUnshare, "-n", kTrue})) return NamespaceMode::kPlain;
    if (succeeds({kUnshare, "-cn", kTrue})) return NamespaceMode::kUser;
    return NamespaceMode::kNone;
}

NamespaceMode Mode() {
    static const NamespaceMode mode = DetectNamespaceMode();
    return mode;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits until `ready`, or until the child `*pid` ends (it is then reaped and
// *pid becomes -1); true when ready.
template <class Ready>
bool WaitUntilReady(pid_t* pid, Ready ready) {
    bool ended = false;
    bool ok = WaitFor(
        [&] {
            int status = 0;
            if (ready()) return true;
            ended = waitpid(*pid, &status, WNOHANG) == *pid;
            return ended;
        },
        kStartMs);
    if (ended) *pid = -1;
    return ok && !ended;
}

// SIGTERM, then SIGKILL when it has not ended within 3 s; reaps it.
void EndChild(pid_t* pid) {
    if (*pid <= 0) return;
    kill(*pid, SIGTERM);
    int status = 0;
    if (!WaitFor(
            [&] {
                pid_t r = waitpid(*pid, &status, WNOHANG);
                return r == *pid || r < 0;
            },
            3000)) {
        kill(*pid, SIGKILL);
        waitpid(*pid, &status, 0);
    }
    *pid = -1;
}

// socat serves each connection in a forked process, which outlives a killed
// parent; so the parent is stopped first (then it can fork no more) and its
// connection processes are ended with it.
void EndForkingServer(pid_t* pid) {
    if (*pid <= 0) return;
    kill(*pid, SIGSTOP);
    int status = 0;
    bool ended = false;
    WaitFor(
        [&] {
            pid_t r = waitpid(*pid, &status, WNOHANG | WUNTRACED);
            ended = r < 0 || (r == *pid && !WIFSTOPPED(status));
            return r == *pid || r < 0;
        },
        3000);
    if (!ended) {
        std::string self = std::to_string(*pid);
        std::ifstream children("/proc/" + self + "/task/" + self + "/children");
        for (pid_t child = 0; children >> child;) kill(child, SIGTERM);
        kill(*pid, SIGKILL);
        waitpid(*pid, &status, 0);
    }
    *pid = -1;
}

}  // namespace

ProxyIsland::ProxyIsland(Options options)
    : options_(std::move(options)), origin_(options_.originConfig) {
    if (!options_.tls.cert.empty()) origin_.AddTlsListener(options_.tls.cert, options_.tls.key);
}

ProxyIsland::~ProxyIsland() {
    Stop();
}

bool ProxyIsland::Available(std::string* why) {
    std::string reason;
    for (const char* program : {kTinyproxy, kSocat, kUnshare, kNsenter, kCat})
        if (reason.empty() && access(program, X_OK) != 0)
            reason = std::string(program) + " is not installed";
    if (reason.empty() && !NginxServer::Available()) reason = "nginx is not installed";
    if (reason.empty() && Mode() == NamespaceMode::kNone)
        reason = "this process may not make a network namespace (unshare -n and unshare -cn fail)";
    if (why) *why = reason;
    return reason.empty();
}

std::string ProxyIsland::ProxyUrl() const {
    return "http://127.0.0.1:" + std::to_string(bridgePort_);
}

std::string ProxyIsland::ProxyLog() const {
    return ReadText(dir_.Path() + "tinyproxy.log");
}

std::vector<std::string> ProxyIsland::ProxyRequests() const {
    std::vector<std::string> requests;
    std::istringstream log(ProxyLog());
    const std::string marker = "Request (file descriptor ";
    for (std::string line; std::getline(log, line);) {
        std::size_t at = line.find(marker);
        std::size_t end = at == std::string::npos ? at : line.find("): ", at);
        if (end != std::string::npos) requests.push_back(line.substr(end + 3));
    }
    return requests;
}

std::string ProxyIsland::Output(const std::string& name) const {
    return dir_.Path() + name + ".out";
}

pid_t ProxyIsland::Spawn(std::vector<std::string> args, const std::string& output, bool inIsland,
                         int stdinFd) {
    if (inIsland) {
        std::vector<std::string> enter = IslandLauncher();
        args.insert(args.begin(), enter.begin(), enter.end());
    }
    return SpawnArgs(args, output, stdinFd);
}

std::vector<std::string> ProxyIsland::IslandLauncher() const {
    // nsenter without -p does not fork: the child started is the program.
    std::vector<std::string> enter = {kNsenter, "-t", std::to_string(holder_)};
    if (Mode() == NamespaceMode::kUser) {
        enter.push_back("-U");
        enter.push_back("--preserve-credentials");
    }
    enter.push_back("-n");
    return enter;
}

bool ProxyIsland::MakeNamespace() {
    // The holder is cat reading a pipe that only this process writes to: it
    // keeps the namespace open, and ends on its own should this process die.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe2: " + std::string(std::strerror(errno));
        return false;
    }
    bool user = Mode() == NamespaceMode::kUser;
    holder_ = SpawnArgs({kUnshare, user ? "-cn" : "-n", kCat}, Output("holder"), fds[0]);
    close(fds[0]);
    holderPipe_ = fds[1];
    if (holder_ <= 0) {
        error_ = "cannot start unshare";
        return false;
    }
    // unshare makes the namespaces (and maps the ids) before it execs cat, so
    // once the holder is cat, the namespace is complete.
    std::error_code ec;
    std::filesystem::path cat = std::filesystem::canonical(kCat, ec);
    std::string self = "/proc/" + std::to_string(holder_) + "/";
    if (!WaitUntilReady(&holder_, [&] {
            std::error_code linkError;
            return std::filesystem::read_symlink(self + "exe", linkError) == cat;
        })) {
        error_ = "unshare did not make the namespace: " + ReadText(Output("holder"));
        return false;
    }

    // A new network namespace has only a loopback, and that one is down. It is
    // brought up from a forked child that joins the namespace (setns changes
    // the calling process only, and a user namespace can be joined only by a
    // single-threaded process), so that no ip command is needed.
    int userFd = user ? open((self + "ns/user").c_str(), O_RDONLY | O_CLOEXEC) : -1;
    int netFd = open((self + "ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    pid_t child = (netFd >= 0 && (!user || userFd >= 0)) ? fork() : -1;
    if (child == 0) {
        if (userFd >= 0 && setns(userFd, CLONE_NEWUSER) != 0) _exit(2);
        if (setns(netFd, CLONE_NEWNET) != 0) _exit(3);
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::memcpy(request.ifr_name, "lo", 3);
        if (s < 0 || ioctl(s, SIOCGIFFLAGS, &request) != 0) _exit(4);
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        _exit(ioctl(s, SIOCSIFFLAGS, &request) == 0 ? 0 : 5);
    }
    if (userFd >= 0) close(userFd);
    if (netFd >= 0) close(netFd);
    int status = -1;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        error_ = "cannot bring up the island's loopback (step " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
        return false;
    }
    return true;
}

bool ProxyIsland::StartBridge() {
    // The only listener in the test's network. Its port is picked here and
    // may be taken by someone else before socat binds it: then socat ends and
    // another port is tried.
    const std::string socketPath = dir_.Path() + "proxy.sock";
    for (int attempt = 0; attempt < 5; ++attempt) {
        bridgePort_ = ntohs(UnusedLoopbackPort().portNet);
        outerBridge_ = Spawn(
            {kSocat, "TCP-LISTEN:" + std::to_string(bridgePort_) + ",bind=127.0.0.1,reuseaddr,fork",
             "UNIX-CONNECT:" + socketPath},
            Output("bridge"), false);
        if (outerBridge_ <= 0) break;
        if (WaitUntilReady(&outerBridge_, [&] { return ListensOnTcp(outerBridge_, bridgePort_); }))
            return true;
        EndForkingServer(&outerBridge_);
    }
    error_ = "the bridge socat did not listen: " + ReadText(Output("bridge"));
    return false;
}

bool ProxyIsland::Start() {
    std::string why;
    if (!Available(&why)) {
        error_ = why;
        return false;
    }
    const std::string d = dir_.Path();
    const std::string socketPath = d + "proxy.sock";
    if (socketPath.size() >= sizeof(sockaddr_un{}.sun_path)) {
        error_ = "the temporary folder's path is too long for a unix socket: " + socketPath;
        return false;
    }
    if (!MakeNamespace()) {
        Stop();
        return false;
    }

    origin_.RunThrough(IslandLauncher());
    if (!origin_.Start()) {
        error_ = "the origin nginx did not start: " + origin_.Error();
        Stop();
        return false;
    }

    // The island's loopback is its own, so any port free of nginx will do.
    const bool tls = !options_.tls.cert.empty();
    proxyPort_ = 8888;
    while (proxyPort_ == origin_.Port() || (tls && proxyPort_ == origin_.TlsPort())) ++proxyPort_;
    // LogLevel Info, not Connect: both log every request line, but Info also
    // names refusals ("Refused CONNECT method on port N"). Without any
    // ConnectPort line tinyproxy tunnels to every port; with one, only to the
    // ports listed, and "0" refuses every CONNECT.
    std::ofstream conf(d + "tinyproxy.conf");
    conf << "Port " << proxyPort_ << "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
         << "Timeout 60\nMaxClients 100\nLogFile \"" << d << "tinyproxy.log\"\nLogLevel Info\n"
         << "ConnectPort " << (tls ? origin_.TlsPort() : 0) << "\n";
    if (!options_.proxyUser.empty())
        conf << "BasicAuth " << options_.proxyUser << " " << options_.proxyPassword << "\n";
    conf << options_.proxyConfig << "\n";
    conf.close();

    // -d keeps tinyproxy in the foreground, as this process's child.
    proxy_ = Spawn({kTinyproxy, "-d", "-c", d + "tinyproxy.conf"}, Output("tinyproxy"), true);
    islandBridge_ = Spawn({kSocat, "UNIX-LISTEN:" + socketPath + ",fork",
                           "TCP:127.0.0.1:" + std::to_string(proxyPort_)},
                          Output("island-socat"), true);
    if (proxy_ <= 0 || islandBridge_ <= 0) {
        error_ = "cannot start tinyproxy or socat";
        Stop();
        return false;
    }
    if (!StartBridge()) {
        Stop();
        return false;
    }
    if (!WaitUntilReady(&proxy_, [&] { return ListensOnTcp(proxy_, proxyPort_); })) {
        error_ = "tinyproxy did not listen: " + ReadText(Output("tinyproxy")) + ProxyLog();
        Stop();
        return false;
    }
    if (!WaitUntilReady(&islandBridge_, [&] { return ListensOnUnix(islandBridge_, socketPath); })) {
        error_ = "the island's socat did not listen: " + ReadText(Output("island-socat"));
        Stop();
        return false;
    }
    return true;
}

void ProxyIsland::Stop() {
    // From the outside in, so that no new connection reaches a server that
    // is already gone.
    EndForkingServer(&outerBridge_);
    EndForkingServer(&islandBridge_);
    EndChild(&proxy_);
    origin_.Stop();
    if (holderPipe_ >= 0) {
        close(holderPipe_);
        holderPipe_ = -1;
    }
    EndChild(&holder_);
}
