// The update manifest: the XML reader (updater/xml_parser.h) and the update
// decision over it (updater/update_manifest.h), as an update server or
// anyone on the way to it could shape the document.
//
// Input: the document (at most what the session accepts).
//
// Checks: the tree is no deeper than 32 and holds at most 10000 elements;
// every child points back at its parent; attribute reads stay within their
// buffer and end with a zero; every download the decision asks for has
// https addresses for both the archive and its digest file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/support/read_script.h"
#include "updater/update_manifest.h"
#include "updater/xml_parser.h"

namespace {

std::size_t Walk(const CXmlElement* element, int depth) {
    FUZZ_CHECK(depth <= 33);
    std::size_t count = 1;
    for (const auto& child : element->children) {
        FUZZ_CHECK(child->parent == element);
        count += Walk(child.get(), depth + 1);
    }
    for (const CXmlAttribute& attribute : element->attributes) {
        char buffer[kXmlAttributeBuffer];
        std::memset(buffer, 'x', sizeof buffer);
        const std::size_t length = CXMLParserNorvex::GetAttribute(element, attribute.name, buffer);
        if (length > 0) {
            FUZZ_CHECK(length < sizeof buffer);
            FUZZ_CHECK(buffer[length] == '\0');
        }
    }
    return count;
}

// The engine folder the decision looks at and may create: one per process.
const std::string& EngineFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/zk4fuzz-manifest-XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made ? made : "/tmp") + "/Norvex/tlxDownloadV32/";
    }();
    return folder;
}

}  // namespace

// The service log goes nowhere: a fuzz run must not fill a real one.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("XDG_DATA_HOME", "/nonexistent/zk4-fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20) + 16) return -1;  // the session refuses larger manifests
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CXMLParserNorvex parser;
    (void)parser.Load(text);
    if (const CXmlElement* root = parser.Root()) FUZZ_CHECK(Walk(root, 1) <= 10001);

    const CUpdatePlan plan = PlanUpdate(data, static_cast<std::int64_t>(size), EngineFolder());
    for (const CUpdateDownload& download : plan.downloads) {
        FUZZ_CHECK(IsHttpsUrl(download.url));
        FUZZ_CHECK(IsHttpsUrl(download.digestUrl));
    }
    return 0;
}
