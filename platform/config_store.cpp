#include "platform/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/files.h"
#include "platform/system_folders.h"

namespace plat {
namespace {

bool SafeComponent(std::string_view part) {
    return !part.empty() && part != "." && part != ".." &&
           part.find('/') == std::string_view::npos && part.find('\0') == std::string_view::npos;
}

// The key's folder below the configuration folder, creating it when asked;
// empty when the key is unsafe or a folder cannot be made.
std::string KeyFolder(std::string_view key, bool create) {
    std::string folder = ConfigFolder();
    if (folder.empty() || key.empty()) return std::string();
    if (create && !CreateFolder(folder)) return std::string();
    while (!key.empty()) {
        std::size_t slash = key.find('/');
        std::string_view part = key.substr(0, slash);
        if (!SafeComponent(part)) return std::string();
        folder.append(part).push_back('/');
        if (create && !CreateFolder(folder)) return std::string();
        key = slash == std::string_view::npos ? std::string_view() : key.substr(slash + 1);
    }
    return folder;
}

bool WriteAllTo(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool WriteConfigValue(std::string_view key, std::string_view name, std::string_view value) {
    if (!SafeComponent(name)) return false;
    const std::string folder = KeyFolder(key, true);
    if (folder.empty()) return false;
    const std::string target = folder + std::string(name);
    std::string temporary = target + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = WriteAllTo(fd, value) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && std::rename(temporary.c_str(), target.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

bool ReadConfigValue(std::string_view key, std::string_view name, std::string* value) {
    if (!SafeComponent(name)) return false;
    const std::string folder = KeyFolder(key, false);
    return !folder.empty() && ReadWholeFile(folder + std::string(name), value);
}

}  // namespace plat
