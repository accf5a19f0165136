// The version text that a program of ours carries in an ELF note, read
// without running the program. The note: section ".note.tlx.fileversion"
// (also reachable through a PT_NOTE segment), owner "TLX", type 1, the
// descriptor a NUL-terminated text of at most 127 characters.
//
// Plain functions without state; any thread may call them.
#pragma once

#include <cstddef>
#include <string>

namespace plat {

inline constexpr const char* kFileVersionNoteOwner = "TLX";
inline constexpr unsigned kFileVersionNoteType = 1;
inline constexpr std::size_t kMaxFileVersionLength = 127;

// The version text of the ELF file at `path`, or "" when the file cannot be
// read, is not ELF, has no such note or the note is malformed. Every offset
// is bounded by the file's size and at most 64 KiB of notes are read, so a
// hostile file costs little.
std::string ReadFileVersion(const std::string& path);

}  // namespace plat
