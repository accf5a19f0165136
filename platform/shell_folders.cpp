#include "platform/shell_folders.h"

#include <cstdlib>

#include "platform/files.h"
#include "platform/program_start.h"

namespace plat {

std::string AppDataFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/share";
    } else if (std::string account = PasswordHomeFolder(); !account.empty()) {
        // Never a folder relative to wherever the program was started.
        base = account + "/.local/share";
    }
    return NormalizeFolder(base);
}

}  // namespace plat
