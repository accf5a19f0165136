#include "engine/engine_paths.h"

#include <sys/stat.h>

#include <atomic>
#include <cstring>

#include "engine/engine_port.h"
#include "platform/program_start.h"
#include "platform/socket_owner.h"
#include "service/base/service_log.h"
#include "service/base/service_paths.h"

namespace {

constexpr int kErrorCancelled = 1223;
std::atomic<int> g_firstStartError{0};

// One start attempt; the error number on failure.
bool Attempt(const std::string& path, bool first, int* pid, int* error) {
    if (first) {
        if (int forced = g_firstStartError.exchange(0); forced != 0) {
            *error = forced;
            return false;
        }
    }
    return plat::StartDetachedProgram(path, pid, error);
}

}  // namespace

void CGetPath_V32::GetBaseFolder(std::string* path) const {
    *path = ServiceBaseFolder();
}

void CGetPath_V32::GetEngineFolder(std::string* path) const {
    *path = ServiceDataFolder();
}

void CGetPath_V32::GetEngineExecutable(std::string* path) const {
    const std::string folder = ServiceDataFolder();
    *path = folder.empty() ? std::string() : folder + kEngineFileName;
}

const IGetPath& EnginePaths() {
    static const CGetPath_V32 paths;
    return paths;
}

bool CBinaryExecute_V3::GetExecutablePath(std::string* path) const {
    std::string candidate;
    EnginePaths().GetEngineExecutable(&candidate);
    struct stat st;
    if (candidate.empty() || stat(candidate.c_str(), &st) != 0) return false;
    Assign(path, candidate);
    return true;
}

void SetFirstStartErrorForTesting(int error) {
    g_firstStartError = error;
}

bool RunBinary() {
    plat::ReapStartedPrograms();
    std::string path;
    if (!CBinaryExecute_V3().GetExecutablePath(&path)) {
        WriteServiceLog("[OstrelLib] Run Binary (no executable file)");
        return false;
    }
    int pid = 0;
    int error = 0;
    int started = -1;
    // Attempt 0 is the elevated start, 1 the plain shell start after the
    // user declined, 2 and 3 the process creation; on Linux all start the
    // program the same way.
    if (Attempt(path, true, &pid, &error)) {
        started = 0;
    } else if (error == kErrorCancelled) {
        WriteServiceLogFormat("[OstrelLib] Execute Fail(0) %s:%d", path.c_str(), error);
        if (Attempt(path, false, &pid, &error)) {
            started = 1;
        } else {
            WriteServiceLogFormat("[OstrelLib] Execute Fail(1) %s:%d", path.c_str(), error);
            if (Attempt(path, false, &pid, &error))
                started = 2;
            else
                WriteServiceLogFormat("[OstrelLib] Execute Fail(2) %s:%d", path.c_str(), error);
        }
    } else if (Attempt(path, false, &pid, &error)) {
        started = 3;
    } else {
        WriteServiceLogFormat("[OstrelLib] Execute Fail(3) %s:%d", path.c_str(), error);
    }
    if (started < 0) return false;
    WriteServiceLogFormat("[OstrelLib] Execute OK(%d)", started);
    WriteServiceLog("[OstrelLib] Begin WFII");
    const std::uint16_t port = EnginePort();
    const plat::ProgramReadiness ready = plat::WaitUntilListening(pid, port, kReadyWaitMs);
    WriteServiceLog("[OstrelLib] End WFII");
    // The connect decides the rest; an engine that ended at once usually
    // found its port taken, and the log should say by whom.
    if (ready == plat::ProgramReadiness::kExited) {
        int holder = 0;
        if (plat::LoopbackListenerProcess(port, &holder))
            WriteServiceLogFormat("[OstrelLib] The engine ended at its start; port %u is held by "
                                  "process %d",
                                  port, holder);
        else
            WriteServiceLogFormat("[OstrelLib] The engine ended at its start (port %u)", port);
    }
    return true;
}
