// The update archives: the 7z and zip unpackers (updater/extract_archive.h)
// over bytes an update package could hold, unpacked into a folder of their
// own inside a sandbox.
//
// Input: byte 0 picks the type (even: 7z, odd: zip), the rest is the
// archive.
//
// Checks: nothing ever appears in the sandbox beside the target folder (no
// name leaves it, no link is made), only regular files and folders appear
// inside it, and a refused archive answers 5. The caps are lowered (64
// entries, 4 MiB written, a 1 MiB 7z header, 16 MiB of decoder memory) so
// that bombs are refused quickly.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/support/read_script.h"
#include "platform/folder_tree.h"
#include "updater/extract_archive.h"
#include "updater/extract_sink.h"
#include "updater/update_digest.h"

namespace {

const std::string& Sandbox() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/zk4fuzz-archive-XXXXXX";
        const char* made = mkdtemp(pattern);
        SetExtractLimitsForTesting(ExtractLimits{64, 4 << 20, 1 << 20, 16 << 20});
        return std::string(made ? made : "/tmp/zk4fuzz-archive") + "/";
    }();
    return folder;
}

// Every entry below `folder` is a regular file or a folder.
void CheckOnlyFilesAndFolders(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        FUZZ_CHECK(lstat((folder + name).c_str(), &st) == 0);
        FUZZ_CHECK(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
        if (S_ISDIR(st.st_mode)) CheckOnlyFilesAndFolders(folder + name + "/");
    }
    closedir(dir);
}

// The names directly in the sandbox.
int SandboxEntries() {
    DIR* dir = opendir(Sandbox().c_str());
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace

// The service log goes nowhere: a fuzz run must not fill a real one.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("XDG_DATA_HOME", "/nonexistent/zk4-fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int type = (data[0] & 1) ? kArchiveZip : kArchive7z;
    const std::string target = Sandbox() + "target/";
    const int result = ExtractArchive(type, data + 1, static_cast<std::int64_t>(size - 1), target);
    FUZZ_CHECK(result == 0 || result == 5 || result == 6);
    // Only the target folder itself may exist beside nothing else.
    FUZZ_CHECK(SandboxEntries() <= 1);
    CheckOnlyFilesAndFolders(target);
    (void)plat::RemoveTree(target);
    return 0;
}
