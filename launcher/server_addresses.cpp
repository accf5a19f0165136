#include "launcher/server_addresses.h"

#include <string_view>

#include "platform/text.h"

namespace {

std::u16string HttpUrl(ServerKind kind, std::u16string_view path) {
    return u"http://" + plat::AnsiToWide(ServerHost(kind)) + std::u16string(path);
}

}  // namespace

std::u16string DefaultFileListUrl() {
    return HttpUrl(ServerKind::kPatch, u"/download/zk4/tlxdownload/filelist.txt");
}

std::u16string DefaultPublisherBannerUrl() {
    return HttpUrl(ServerKind::kPatch, u"/download/zk4/tlxdownload/ZK4_TW.gif");
}

std::u16string CdnBannerUrl(const std::u16string& publisherId, const std::u16string& serviceKey) {
    return HttpUrl(ServerKind::kCdn,
                   u"/norvex/tlxdownload/banner/" + publisherId + u"/" + serviceKey + u".gif");
}
