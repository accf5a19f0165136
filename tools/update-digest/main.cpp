// update-digest: writes the digest file of an engine update archive, the
// sequence the updater checks an archive against (the MD4 digest of each
// MiB, then the digest of those digests), so that a publisher can publish
// an update in one step:
//
//   update-digest engine.7z > engine.7z.md4
//
// Exit status: 0 written, 1 the archive cannot be read, 2 usage.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "updater/update_digest.h"

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "--help") {
        std::fprintf(stderr, "usage: update-digest ARCHIVE > ARCHIVE.md4\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "update-digest: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<char> data((std::istreambuf_iterator<char>(in)), {});
    const std::vector<std::uint8_t> sequence = DigestSequence(
        reinterpret_cast<const std::uint8_t*>(data.data()), static_cast<std::int64_t>(data.size()));
    if (std::fwrite(sequence.data(), 1, sequence.size(), stdout) != sequence.size()) return 1;
    return std::fflush(stdout) == 0 ? 0 : 1;
}
