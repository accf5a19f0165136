#include "platform/connectivity.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace plat {
namespace {
std::atomic<int> g_forcedState{-1};
}

void SetNetworkStateForTesting(int state) {
    g_forcedState = state;
}

bool IsNetworkUp() {
    if (int forced = g_forcedState.load(); forced >= 0) return forced == 1;
    if (const char* forced = std::getenv("TLX_NETWORK")) {
        if (std::strcmp(forced, "up") == 0) return true;
        if (std::strcmp(forced, "down") == 0) return false;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool up = false;
    for (ifaddrs* i = list; i && !up; i = i->ifa_next) {
        if (!i->ifa_addr || (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_UP)) continue;
        int family = i->ifa_addr->sa_family;
        up = family == AF_INET || family == AF_INET6;
    }
    freeifaddrs(list);
    return up;
}

}  // namespace plat
