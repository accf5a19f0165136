#include "tests/support/apache_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/support/listening_sockets.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/nginx_server.h"
#include "tests/support/wait_for.h"

extern char** environ;

namespace {

constexpr const char* kApache = "/usr/sbin/apache2";
constexpr const char* kModules = "/usr/lib/apache2/modules/";
// Generous, for a loaded machine; apache normally listens within 50 ms.
constexpr int kStartMs = 10000;

// Apache will not serve as root: started as root it becomes "nobody" (65534)
// once it has bound its port and opened its logs, and what it serves must
// then be readable by anyone.
bool AsRoot() {
    return geteuid() == 0;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

ApacheServer::ApacheServer(std::string config) : config_(std::move(config)) {
    std::filesystem::create_directories(Root());
    if (AsRoot()) {
        chmod(dir_.Path().c_str(), 0755);
        chmod(Root().c_str(), 0755);
    }
    // mod_mime's table, here rather than the system's /etc/mime.types.
    std::ofstream(dir_.Path() + "mime.types") << "text/plain txt\ntext/html html\n"
                                              << "application/octet-stream bin exe pak\n";
}

ApacheServer::~ApacheServer() {
    Stop();
}

bool ApacheServer::Available() {
    return access(kApache, X_OK) == 0 &&
           access((std::string(kModules) + "mod_mpm_event.so").c_str(), R_OK) == 0;
}

std::string ApacheServer::LoadModuleLine(const std::string& name) {
    return "LoadModule " + name + "_module " + kModules + "mod_" + name + ".so\n";
}

std::string ApacheServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void ApacheServer::WriteText(const std::string& path, const std::string& text) {
    std::filesystem::path file = Root() + (path.front() == '/' ? path.substr(1) : path);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    if (!AsRoot()) return;
    // Whatever this process's umask, "nobody" must reach and read it.
    chmod(file.c_str(), 0644);
    const std::string root = Root();
    for (std::filesystem::path dir = file.parent_path(); dir.string().size() >= root.size();
         dir = dir.parent_path())
        chmod(dir.c_str(), 0755);
}

std::string ApacheServer::WriteFile(const std::string& path, std::size_t size, unsigned seed) {
    std::string content = PseudoRandomBytes(size, seed);
    WriteText(path, content);
    return content;
}

std::string ApacheServer::AccessLog() const {
    return ReadText(dir_.Path() + "access.log");
}

bool ApacheServer::Start() {
    if (!Available()) {
        error_ = "apache2 is not installed";
        return false;
    }
    const std::string d = dir_.Path();
    const std::string root = Root().substr(0, Root().size() - 1);
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = ntohs(UnusedLoopbackPort().portNet);
        const std::string address = "127.0.0.1:" + std::to_string(port_);
        std::ofstream conf(d + "apache.conf");
        // ServerName has no port: a redirect's Location then takes its port
        // from the Host header alone (UseCanonicalName Off), so a request
        // whose Host lacks the port is sent to port 80.
        conf << "ServerRoot \"" << d << "\"\nListen " << address << "\nServerName 127.0.0.1\n"
             << "PidFile \"" << d << "apache.pid\"\nErrorLog \"" << d << "error.log\"\n"
             << "LogLevel warn\nDefaultRuntimeDir \"" << d << "\"\nMutex \"file:" << d
             << "\" default\n"
             << LoadModuleLine("mpm_event") << LoadModuleLine("authz_core")
             << LoadModuleLine("alias") << LoadModuleLine("mime") << LoadModuleLine("dir")
             << "TypesConfig \"" << d << "mime.types\"\n"
             << (AsRoot() ? "User #65534\nGroup #65534\n" : "") << "DocumentRoot \"" << root
             << "\"\n<Directory />\n  AllowOverride None\n  Require all denied\n</Directory>\n"
             << "<Directory \"" << root << "\">\n  Require all granted\n</Directory>\n"
             << "LogFormat \"%h \\\"%r\\\" %>s %b \\\"%{Host}i\\\" \\\"%{Range}i\\\"\" zk4\n"
             << "CustomLog \"" << d << "access.log\" zk4\n"
             << config_ << "\n";
        conf.close();

        // Apache refuses to start while its pid file names a live process,
        // which a stale one from an attempt before could, once the id is reused.
        std::filesystem::remove(d + "apache.pid");
        // -X: one process in the foreground, this process's child, which
        // holds the listening socket itself.
        std::string confPath = d + "apache.conf";
        std::string log = d + "stderr.log";
        const char* argv[] = {kApache, "-X", "-f", confPath.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        int rc = posix_spawn(&pid_, kApache, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            error_ = "cannot start apache2";
            return false;
        }
        bool died = false;
        bool listening = WaitFor(
            [&] {
                int status = 0;
                if (ListensOnTcp(pid_, port_)) return true;
                died = waitpid(pid_, &status, WNOHANG) == pid_;  // port taken, or bad config
                return died;
            },
            kStartMs);
        if (listening && !died) return true;
        if (died) pid_ = -1;
        Stop();
        error_ = ReadText(log) + ReadText(d + "error.log");
    }
    return false;
}

void ApacheServer::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitFor(
            [&] {
                pid_t r = waitpid(pid_, &status, WNOHANG);
                return r == pid_ || r < 0;
            },
            3000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}
