#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/support/listening_sockets.h"
#include "tests/support/loopback_peer.h"

extern char** environ;

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

bool PortAccepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

}  // namespace

std::string PseudoRandomBytes(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    std::mt19937 gen(seed);
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        std::uint32_t v = gen();
        std::memcpy(&out[i], &v, 4);
    }
    for (; i < size; ++i) out[i] = static_cast<char>(gen());
    return out;
}

NginxServer::NginxServer(std::string serverConfig, std::string httpConfig)
    : serverConfig_(std::move(serverConfig)), httpConfig_(std::move(httpConfig)) {
    std::filesystem::create_directories(Root());
    std::filesystem::create_directories(dir_.Path() + "tmp");
}

NginxServer::~NginxServer() {
    Stop();
}

bool NginxServer::Available() {
    return access(kNginx, X_OK) == 0;
}

void NginxServer::AddTlsListener(const std::string& certFile, const std::string& keyFile) {
    tls_.push_back({certFile, keyFile, 0});
}

std::string NginxServer::TlsUrl(const std::string& host, const std::string& path,
                                std::size_t index) const {
    return "https://" + host + ":" + std::to_string(TlsPort(index)) + path;
}

std::string NginxServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void NginxServer::WriteText(const std::string& path, const std::string& text) {
    std::string full = Root() + (path.front() == '/' ? path.substr(1) : path);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << text;
}

std::string NginxServer::WriteFile(const std::string& path, std::size_t size, unsigned seed) {
    std::string content = PseudoRandomBytes(size, seed);
    WriteText(path, content);
    return content;
}

bool NginxServer::Start() {
    if (!Available()) {
        error_ = "nginx is not installed";
        return false;
    }
    const bool samePorts = restarting_ && port_ != 0;
    restarting_ = false;
    for (int attempt = 0; attempt < (samePorts ? 1 : 5); ++attempt) {
        if (!samePorts) {
            plat::SockAddrIn free = UnusedLoopbackPort();
            port_ = ntohs(free.portNet);
            for (TlsListener& listener : tls_) listener.port = ntohs(UnusedLoopbackPort().portNet);
        }
        std::string tlsPortVariable =
            tls_.empty() ? "" : "    set $tls_port " + std::to_string(tls_.front().port) + ";\n";
        std::string tlsServers;
        for (const TlsListener& listener : tls_) {
            tlsServers += "  server {\n    listen 127.0.0.1:" + std::to_string(listener.port) +
                          " ssl;\n" + "    ssl_certificate " + listener.certFile +
                          ";\n    ssl_certificate_key " + listener.keyFile + ";\n" +
                          tlsPortVariable + "    root " + Root() + ";\n" + serverConfig_ +
                          "\n  }\n";
        }
        std::string d = dir_.Path();
        std::ofstream conf(d + "nginx.conf");
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << "error_log " << d << "error.log warn;\npid " << d << "nginx.pid;\n"
             << "events { worker_connections 512; }\n"
             << "http {\n  access_log off;\n  default_type application/octet-stream;\n"
             << "  client_body_temp_path " << d << "tmp/body;\n  proxy_temp_path " << d
             << "tmp/proxy;\n"
             << "  fastcgi_temp_path " << d << "tmp/fastcgi;\n  uwsgi_temp_path " << d
             << "tmp/uwsgi;\n"
             << "  scgi_temp_path " << d << "tmp/scgi;\n  sendfile on;\n  keepalive_timeout 5;\n"
             << httpConfig_ << "\n"
             << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    root " << Root() << ";\n"
             << tlsPortVariable << serverConfig_ << "\n  }\n"
             << tlsServers << "}\n";
        conf.close();

        std::vector<std::string> args = launcher_;
        args.insert(args.end(), {kNginx, "-p", d, "-c", d + "nginx.conf", "-e", "stderr"});
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::string log = d + "stderr.log";
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            error_ = "cannot start nginx";
            pid_ = -1;
            return false;
        }
        auto listens = [&](int port) {
            return launcher_.empty() ? PortAccepts(port) : ListensOnTcp(pid_, port);
        };
        for (int i = 0; i < 500; ++i) {
            bool all = listens(port_);
            for (const TlsListener& listener : tls_) all = all && listens(listener.port);
            if (all) return true;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {  // it died (port taken?)
                pid_ = -1;  // reaped: Stop must not wait for it or signal its reused id
                break;
            }
            usleep(10000);
        }
        Stop();
        std::ifstream err(log);
        error_.assign(std::istreambuf_iterator<char>(err), {});
    }
    return false;
}

void NginxServer::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}
