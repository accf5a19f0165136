// Where the download engine lives and how it is started.
//
// The engine folder is the service's own data folder (<data>/Norvex/
// tlxDownloadV32/, service/base/service_paths.h), the executable
// "TLXDownloadV32.exe" in it. The paths are never relative: without any
// data folder they are empty, and there is no engine.
//
// RunBinary starts the engine as the user (Linux has no elevation: "runas"
// and "open" both start the program; a failure of the first attempt that
// means "the user declined" can only come from the test seam), in its own
// session with default signals and its streams on /dev/null
// (platform/program_start.h), then waits until it listens on its port or
// ends, at most kReadyWaitMs, instead of waiting for ever for an idle
// process. The log lines name each attempt. It blocks the calling (worker)
// thread for that wait; any thread may call it.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kEngineFileName = "TLXDownloadV32.exe";

class IGetPath {
public:
    virtual ~IGetPath() = default;
    virtual void GetBaseFolder(std::string* path) const = 0;
    virtual void GetEngineFolder(std::string* path) const = 0;
    virtual void GetEngineExecutable(std::string* path) const = 0;
};

class CGetPath_V32 final : public IGetPath {
public:
    void GetBaseFolder(std::string* path) const override;
    void GetEngineFolder(std::string* path) const override;
    void GetEngineExecutable(std::string* path) const override;
};

// The process-wide path resolver.
const IGetPath& EnginePaths();

class CBinaryExecBase {
public:
    virtual ~CBinaryExecBase() = default;
};

class CBinaryExecute_V3 final : public CBinaryExecBase {
public:
    // The engine's full path when the file exists (an existence check only);
    // false, `path` untouched, otherwise.
    bool GetExecutablePath(std::string* path) const;
    void Assign(std::string* out, const std::string& text) const { *out = text; }
};

// How long RunBinary waits for the started engine to listen.
inline constexpr int kReadyWaitMs = 2000;

[[nodiscard]] bool RunBinary();

// Test seam: the first start attempt fails with `error` (1223 is the
// Windows "the user declined elevation"); 0 clears it.
void SetFirstStartErrorForTesting(int error);
