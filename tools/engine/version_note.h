// The engine's version text, set at build time (ZK4_ENGINE_VERSION). The
// same text is carried in an ELF note so that the updater can read it from
// the file without running it (platform/file_version.h).
#pragma once

namespace engine {

const char* EngineVersion();

}  // namespace engine
