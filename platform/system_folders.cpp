#include "platform/system_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/files.h"

namespace plat {
namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string();
}

std::string AccountHome() {
    std::string home = Variable("HOME");
    if (!home.empty()) return home;
    // A service manager may start us without HOME; the account still has one.
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
        return found->pw_dir;
    return std::string();
}

}  // namespace

std::string ProgramFilesFolder() {
    return "/opt/";
}

std::string ProgramFilesDrive() {
    std::string home = AccountHome();
    if (home.empty()) home = TempFolderPath();
    std::string folder = NormalizeFolder(home);
    folder.pop_back();
    return folder;
}

std::string ConfigFolder() {
    std::string base = Variable("XDG_CONFIG_HOME");
    if (base.empty()) {
        std::string home = AccountHome();
        if (home.empty()) return std::string();
        base = home + "/.config";
    }
    return NormalizeFolder(base);
}

std::string RuntimeFolder() {
    std::string base = Variable("XDG_RUNTIME_DIR");
    return base.empty() ? TempFolderPath() : NormalizeFolder(base);
}

std::string TempFolderPath() {
    std::string base = Variable("TMPDIR");
    return NormalizeFolder(base.empty() ? std::string("/tmp") : base);
}

}  // namespace plat
