#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/loopback_peer.h"

ScriptedServer::ScriptedServer() {
    listenFd_ = ListenOnLoopback(64, &port_);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    acceptor_.join();
    for (auto& t : workers_) t.join();
    close(listenFd_);
}

void ScriptedServer::AddScript(Script script) {
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(script));
}

std::string ScriptedServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::AcceptLoop() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 20) != 1) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int index = connections_.fetch_add(1);
        Script script;
        {
            std::lock_guard lock(mutex_);
            if (!scripts_.empty())
                script = scripts_[std::min<std::size_t>(index, scripts_.size() - 1)];
        }
        workers_.emplace_back([this, fd, script] { Play(fd, script); });
    }
}

void ScriptedServer::Play(int fd, const Script& script) {
    bool open = true;
    for (const ScriptStep& step : script) {
        if (!open || stop_) break;
        switch (step.kind) {
            case ScriptStep::kWaitRequest: {
                std::string head;
                char buf[4096];
                while (head.find("\r\n\r\n") == std::string::npos && !stop_) {
                    pollfd p{fd, POLLIN, 0};
                    if (poll(&p, 1, 20) != 1) continue;
                    ssize_t n = read(fd, buf, sizeof buf);
                    if (n <= 0) break;
                    head.append(buf, static_cast<std::size_t>(n));
                }
                std::lock_guard lock(mutex_);
                requests_.push_back(head);
                break;
            }
            case ScriptStep::kSend: {
                std::size_t done = 0;
                while (done < step.bytes.size()) {
                    ssize_t n =
                        send(fd, step.bytes.data() + done, step.bytes.size() - done, MSG_NOSIGNAL);
                    if (n <= 0) {
                        open = false;
                        break;
                    }
                    done += static_cast<std::size_t>(n);
                }
                break;
            }
            case ScriptStep::kSleep:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                break;
            case ScriptStep::kClose:
                close(fd);
                open = false;
                break;
            case ScriptStep::kReset: {
                linger l{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                close(fd);
                open = false;
                break;
            }
            case ScriptStep::kStall:
                while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                break;
        }
    }
    if (open) close(fd);
}
