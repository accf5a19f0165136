#include "platform/shell_folders.h"

#include <cstdlib>

#include "platform/files.h"

namespace plat {

std::string AppDataFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/share";
    }
    return NormalizeFolder(base);
}

}  // namespace plat
