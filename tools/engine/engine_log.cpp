#include "engine_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace engine {

EngineLog::~EngineLog() {
    if (fd_ >= 0) close(fd_);
}

bool EngineLog::Open(const std::string& path, std::size_t maxBytes) {
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) mkdir(path.substr(0, slash).c_str(), 0755);
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    maxBytes_ = maxBytes;
    return fd_ >= 0;
}

void EngineLog::Line(const char* format, ...) {
    if (fd_ < 0 || full_) return;
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
    char line[1200];
    int n = std::snprintf(line, sizeof line, "[%s] %s\n", stamp, text);
    if (n < 0) return;
    std::size_t length = static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1;
    if (written_ + length > maxBytes_) {
        full_ = true;
        n = std::snprintf(line, sizeof line, "[%s] Log full; later events are not written\n",
                          stamp);
        length = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (write(fd_, line, length) > 0) written_ += length;
}

std::string DefaultLogPath() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "";
    std::string path(exe, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return path.substr(0, slash + 1) + "config/engine.log";
}

}  // namespace engine
