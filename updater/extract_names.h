// Turning an archive item's name into a safe name below the target folder.
// Archive names are untrusted: a name that could leave the folder, or that
// the engine's Windows origin would read differently, is refused, and one
// refused name fails its whole archive.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMaxArchiveNameBytes = 259;

struct ArchiveNameRules {
    // Refuse bytes above 0x7F (a zip name without the UTF-8 flag is in an
    // unknown code page).
    bool asciiOnly = false;
};

// The name's folder components and last component, in order; `raw` may
// hold any bytes. Backslashes count as separators. Empty components and a
// trailing separator are dropped. False, with `why` set, for a name over
// kMaxArchiveNameBytes, with a NUL, an absolute name, a drive letter, a "."
// or ".." component, nothing left, or (by the rules) non-ASCII bytes.
[[nodiscard]] bool SplitArchiveName(std::string_view raw, const ArchiveNameRules& rules,
                                    std::vector<std::string>* parts, std::string* why);
