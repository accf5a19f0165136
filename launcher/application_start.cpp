#include "launcher/application_start.h"

#include "launcher/server_addresses.h"
#include "platform/text.h"

void CCommandLineInfoParser::ParseParam(std::string_view param, bool /*flag*/, bool /*last*/) {
    if (count_ == 0) fileListUrl_ = plat::AnsiToWide(param);
    ++count_;
}

CCommandLineInfoParser ParseCommandLine(int argc, const char* const argv[]) {
    CCommandLineInfoParser parser;
    for (int i = 1; i < argc; ++i) {
        std::string_view param = argv[i] ? argv[i] : "";
        const bool flag = !param.empty() && (param.front() == '-' || param.front() == '/');
        if (flag) param.remove_prefix(1);
        parser.ParseParam(param, flag, i == argc - 1);
    }
    return parser;
}

std::u16string ProgramNameFromPath(std::string_view path) {
    std::string_view name = path.substr(path.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) name = name.substr(0, dot);
    return plat::AnsiToWide(name);
}

std::u16string InstanceMutexName() {
    std::u16string name = u"TLXDownloadV3::" + DefaultFileListUrl();
    if (name.size() > kInstanceNameLimit) name.resize(kInstanceNameLimit);
    return name;
}
