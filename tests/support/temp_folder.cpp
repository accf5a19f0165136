#include "tests/support/temp_folder.h"

#include <cstdlib>
#include <filesystem>

TempFolder::TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zk4test.XXXXXX";
    if (char* made = mkdtemp(pattern.data())) path_ = std::string(made) + "/";
}

TempFolder::~TempFolder() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}
