// The launcher's addresses on the system's servers (service/base/servers.h
// says how each host is chosen).
#pragma once

#include <string>

#include "service/base/servers.h"

// "http://" + the patch server + "/download/zk4/tlxdownload/filelist.txt".
std::u16string DefaultFileListUrl();
// "http://" + the patch server + "/download/zk4/tlxdownload/ZK4_TW.gif".
std::u16string DefaultPublisherBannerUrl();
// "http://" + the CDN + "/norvex/tlxdownload/banner/<publisher>/<key>.gif".
std::u16string CdnBannerUrl(const std::u16string& publisherId, const std::u16string& serviceKey);
