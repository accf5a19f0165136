// The engine's own view of connectivity, checked once a second: the
// network counts as down only while a job needs it (fetches from another
// machine) and the machine has no usable interface. Files served from this
// machine never depend on it.
#pragma once

namespace engine {

class NetworkWatch {
public:
    enum class Change { kNone, kLost, kRestored };
    // `needed`: some job fetches from another machine right now.
    Change Check(bool needed);

private:
    bool up_ = true;
};

}  // namespace engine
