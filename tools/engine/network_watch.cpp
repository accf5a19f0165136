#include "network_watch.h"

#include "platform/connectivity.h"

namespace engine {

NetworkWatch::Change NetworkWatch::Check(bool needed) {
    const bool up = !needed || plat::IsNetworkUp();
    if (up == up_) return Change::kNone;
    up_ = up;
    return up ? Change::kRestored : Change::kLost;
}

}  // namespace engine
