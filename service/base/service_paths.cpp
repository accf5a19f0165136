#include "service/base/service_paths.h"

#include "platform/files.h"
#include "platform/shell_folders.h"

std::string ServiceBaseFolder() {
    std::string base = plat::AppDataFolder();
    if (base.empty()) return {};
    if (!base.empty() && base.back() != plat::kPathSeparator) base.push_back(plat::kPathSeparator);
    return base + "Norvex" + plat::kPathSeparator;
}

std::string ServiceDataFolder() {
    const std::string base = ServiceBaseFolder();
    return base.empty() ? std::string() : base + "tlxDownloadV32" + plat::kPathSeparator;
}
