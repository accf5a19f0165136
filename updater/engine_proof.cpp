#include "updater/engine_proof.h"

#include "platform/file_version.h"
#include "platform/program_start.h"
#include "platform/socket_owner.h"
#include "platform/text.h"

namespace {

constexpr std::size_t kMaxVersionAnswer = 256;
constexpr int kStopGraceMs = 2000;
// The proof run ends by itself soon even if it is not stopped.
constexpr const char* kProofIdleExit = "TLX_ENGINE_IDLE_EXIT=10";

}  // namespace

bool ProveEngine(const std::string& executable, const std::string& version, std::string* why,
                 const EngineProofLimits& limits) {
    const std::string noted(plat::Trim(plat::ReadFileVersion(executable)));
    if (noted != version) {
        *why = "the package holds version \"" + noted.substr(0, 64) + "\", the manifest names \"" +
               version + "\"";
        return false;
    }
    std::string answer;
    if (!plat::RunProgramForOutput(executable, {"--version"}, limits.versionAnswerMs,
                                   kMaxVersionAnswer, &answer)) {
        *why = "the engine does not run (--version failed)";
        return false;
    }
    if (std::string(plat::Trim(answer)) != version) {
        *why = "the engine says it is version \"" + std::string(plat::Trim(answer)).substr(0, 64) +
               "\", the manifest names \"" + version + "\"";
        return false;
    }
    const std::uint16_t port = plat::FreeLoopbackPort();
    int pid = 0;
    int error = 0;
    if (port == 0 ||
        !plat::StartDetachedProgram(
            executable, {}, {"TLX_ENGINE_PORT=" + std::to_string(port), kProofIdleExit}, &pid,
            &error)) {
        *why = "the engine cannot be started (error " + std::to_string(error) + ")";
        return false;
    }
    const plat::ProgramReadiness ready = plat::WaitUntilListening(pid, port, limits.listenMs);
    (void)plat::StopStartedProgram(pid, kStopGraceMs);  // reaped either way
    if (ready != plat::ProgramReadiness::kListening) {
        *why = ready == plat::ProgramReadiness::kExited
                   ? "the engine ended before it listened"
                   : "the engine did not listen within " + std::to_string(limits.listenMs / 1000) +
                         " s";
        return false;
    }
    return true;
}
