#include "service/base/service_log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/files.h"
#include "platform/kernel.h"
#include "service/base/service_paths.h"

namespace {

// The longest path the log accepts; a longer one is not logged to.
constexpr std::size_t kMaxLogPath = 4096;
constexpr std::size_t kLocalFormatBuffer = 512;

std::mutex g_pathMutex;
std::string g_cachedPath;
std::atomic<int> g_heapFormats{0};

}  // namespace

std::string GetServiceLogPath() {
    std::lock_guard lock(g_pathMutex);
    if (g_cachedPath.empty()) {
        const std::string folder = ServiceDataFolder();
        std::string path = folder + "config" + plat::kPathSeparator + "service.log";
        if (!folder.empty() && path.size() < kMaxLogPath) g_cachedPath = path;
    }
    return g_cachedPath;
}

void ForgetServiceLogPathForTesting() {
    std::lock_guard lock(g_pathMutex);
    g_cachedPath.clear();
}

int ServiceLogHeapFormatsForTesting() {
    return g_heapFormats.load();
}

void WriteServiceLog(const char* message) {
    std::string path = GetServiceLogPath();
    if (path.empty()) return;
    std::string record = "[" + plat::LocalTimeText(plat::CalendarSeconds()) + "] ";
    // Names and texts from the network reach the log inside messages: a
    // control character among them is written as \xNN, so that no text can
    // end its line early and forge another.
    for (const char* c = message ? message : ""; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte != 0x7F) {
            record += *c;
            continue;
        }
        static constexpr char kHex[] = "0123456789ABCDEF";
        record += "\\x";
        record += kHex[byte >> 4];
        record += kHex[byte & 0xF];
    }
    record += "\r\n";
    plat::AppendToFile(path, record);
}

void WriteServiceLogFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        va_end(args);
        return;
    }
    std::size_t size = static_cast<std::size_t>(length) + 1;
    char local[kLocalFormatBuffer];
    std::unique_ptr<char[]> heap;
    char* buffer = local;
    if (size > kLocalFormatBuffer) {
        heap.reset(new char[size]);
        buffer = heap.get();
        ++g_heapFormats;
    }
    std::vsnprintf(buffer, size, format, args);
    va_end(args);
    WriteServiceLog(buffer);
}

void ResetServiceLog() {
    std::string path = GetServiceLogPath();
    if (path.empty()) return;
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] != plat::kPathSeparator) continue;
        std::string prefix = path.substr(0, i + 1);
        if (!plat::PathExists(prefix)) plat::CreateFolder(prefix);
    }
    plat::RemoveFile(path);
    plat::TruncateFile(path);
}
