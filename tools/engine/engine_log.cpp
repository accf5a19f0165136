#include "engine_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

namespace engine {

EngineLog::~EngineLog() {
    if (fd_ >= 0) close(fd_);
}

bool EngineLog::Open(const std::string& path, std::size_t maxBytes, bool fresh) {
    if (opened_) return fd_ >= 0;
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) mkdir(path.substr(0, slash).c_str(), 0755);
    const int truncate = fresh ? O_TRUNC : 0;
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | truncate | O_APPEND | O_CLOEXEC, 0644);
    maxBytes_ = maxBytes;
    opened_ = true;
    if (fd_ >= 0 && !fresh) {
        struct stat st {};
        if (fstat(fd_, &st) == 0) written_ = static_cast<std::size_t>(st.st_size);
    }
    std::string held;
    held.swap(held_);
    // Whole lines, each held one counting against the cap like any other.
    for (std::size_t at = 0; at < held.size();) {
        const std::size_t end = held.find('\n', at);
        const std::size_t next = end == std::string::npos ? held.size() : end + 1;
        Write(held.substr(at, next - at));
        at = next;
    }
    return fd_ >= 0;
}

void EngineLog::Line(const char* format, ...) {
    if (full_ || (opened_ && fd_ < 0)) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    char stamp[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local))
        std::strftime(stamp, sizeof stamp, "%a %b %e %H:%M:%S %Y", &local);
    std::string line = std::string("[") + stamp + "] ";
    for (const char* c = text; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        } else {
            line += *c;
        }
    }
    line += '\n';
    if (!opened_) {
        if (held_.size() + line.size() <= kMaxHeldBytes) held_ += line;
        return;
    }
    Write(line);
}

void EngineLog::Write(const std::string& line) {
    if (fd_ < 0 || full_) return;
    std::string text = line;
    if (written_ + text.size() > maxBytes_) {
        full_ = true;
        text = text.substr(0, text.find(']') + 1) + " Log full; later events are not written\n";
    }
    if (write(fd_, text.data(), text.size()) > 0) written_ += text.size();
}

std::string DefaultLogPath(const char* invokedAs) {
    // The folder the engine was started from: the engine folder when the
    // service starts it through its link there, the version's own folder
    // when it is proved before an install.
    std::string path = invokedAs && invokedAs[0] == '/' ? invokedAs : "";
    if (path.empty()) {
        char exe[4096];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return "";
        path.assign(exe, static_cast<std::size_t>(n));
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return path.substr(0, slash + 1) + "config/engine.log";
}

}  // namespace engine
