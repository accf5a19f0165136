#include "version_note.h"

#include <cstdint>

#ifndef ZK4_ENGINE_VERSION
#error "ZK4_ENGINE_VERSION must be defined by the build"
#endif

namespace engine {
namespace {

constexpr std::uint32_t kDescriptorSize = sizeof(ZK4_ENGINE_VERSION);  // with its NUL
static_assert(kDescriptorSize >= 2 && kDescriptorSize <= 128,
              "the version text must have 1 to 127 characters");

// An ELF note as the linker expects it: three 32-bit words, the owner name
// padded to 4 bytes, the descriptor padded to 4 bytes. A section whose name
// begins with ".note" becomes SHT_NOTE and lands in a PT_NOTE segment.
struct VersionNote {
    std::uint32_t nameSize;
    std::uint32_t descriptorSize;
    std::uint32_t type;
    char name[4];
    char descriptor[(kDescriptorSize + 3) / 4 * 4];
};

__attribute__((section(".note.tlx.fileversion"), used, aligned(4)))
const VersionNote kVersionNote = {4, kDescriptorSize, 1, "TLX", ZK4_ENGINE_VERSION};

}  // namespace

const char* EngineVersion() {
    return kVersionNote.descriptor;
}

}  // namespace engine
