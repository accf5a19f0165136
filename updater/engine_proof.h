// Proving an unpacked engine before it replaces the installed one. Its
// version note must be the manifest's version, and so must its own answer
// to `--version`; started from where it was unpacked, on a loopback port of
// its own (the installed engine may be running on the real one), it must
// come to listen. It is stopped again at once.
//
// Blocks the calling thread (the updater's, on the worker) for at most a
// few seconds; any thread.
#pragma once

#include <string>

struct EngineProofLimits {
    int versionAnswerMs = 5000;  // for `--version` to answer
    int listenMs = 5000;         // for the engine to listen
};

// True when the engine at `executable` is `version` and runs; `why` says
// what failed otherwise.
[[nodiscard]] bool ProveEngine(const std::string& executable, const std::string& version,
                               std::string* why, const EngineProofLimits& limits = {});
