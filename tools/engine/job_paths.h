// Where a described file may be written, and how its address field reads.
// A job names its own destination, so the engine refuses anything that
// could reach outside the folder the player chose: relative folders,
// ".." segments, names with separators, paths too long to report back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace engine {

struct FilePlace {
    std::string folder;     // as described, ending with "/"
    std::string localPath;  // folder + name: the path reported back
    std::string partPath;   // localPath + ".part": partial data
};

// Fills *place, or false with the reason in *why.
[[nodiscard]] bool PlaceFile(std::string_view folder, std::string_view name, FilePlace* place,
                             std::string* why);

// Creates the folder and its parents (0755); false when that fails or a
// part of it is not a folder.
[[nodiscard]] bool EnsureFolder(const std::string& folder);

// The "|"-separated alternatives of an address field, empty ones dropped.
std::vector<std::string> SplitAlternatives(std::string_view field);

// True when the address's host is a loopback name or address, so that the
// machine's network state does not matter for it.
bool IsLoopbackUrl(std::string_view url);

// The size of a regular file, or -1 when there is none.
long long RegularFileSize(const std::string& path);

}  // namespace engine
